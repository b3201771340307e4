// corvale-cli as a user runs it: exit codes, output formats, image names, and
// agreement with the library. Tests that count with the fixed method's numbers or
// its size options ask for it with --method fixed (the adaptive method is the default).

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "analysis/dish_analysis.hpp"
#include "analysis/io/image_files.hpp"
#include "analysis/report/output_formats.hpp"
#include "analysis_helpers.hpp"
#include "cli_helpers.hpp"

namespace corvale {
namespace {

using testing::CliRun;
using testing::plate;
using testing::quoted;
using testing::readFile;
using testing::runCli;
using testing::TemporaryFolder;

// p1.JPG, p2.JPG, ...
std::string photoName(int i) {
  std::string name = "p0.JPG";
  name[1] = static_cast<char>('0' + i);
  return name;
}

class CommandLine : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directory(folder.path() / "plates");
    for (int i = 1; i <= 3; ++i) {
      // PNG content under .jpg names keeps the pixels exact; the loader goes by content.
      std::vector<std::uint8_t> png;
      cv::imencode(".png", plate(i + 1), png);
      std::ofstream(folder.path() / "plates" / photoName(i), std::ios::binary)
          .write(reinterpret_cast<const char*>(png.data()), static_cast<std::streamsize>(png.size()));
    }
    std::ofstream(folder.path() / "plates" / "notes.txt") << "ignored";
  }
  TemporaryFolder folder;
};

TEST_F(CommandLine, TextReportsInOrderAndImagesPerPhotograph) {
  const CliRun run = runCli(folder, "--method fixed --min-area 100 plates");
  ASSERT_EQ(run.status, 0) << run.err;
  for (int i = 1; i <= 3; ++i) {
    const std::string path = "plates/" + photoName(i);
    const DishAnalysis expected = testing::analyseAndWrite((folder.path() / path).string(), {100, 3000, 5, 100}, {false, ".", ""});
    std::string report = formatReport(expected, "\n");
    report.replace(report.find(folder.path().string() + "/"), folder.path().string().size() + 1, "");
    EXPECT_NE(run.out.find(report), std::string::npos) << run.out;
    for (const char* image : {"threshold.jpg", "centroid.jpg", "bb.jpg"})
      EXPECT_TRUE(std::filesystem::exists(folder.path() / (photoName(i).substr(0, 3) + image)));
  }
  EXPECT_LT(run.out.find("p1.JPG"), run.out.find("p2.JPG"));
  EXPECT_LT(run.out.find("p2.JPG"), run.out.find("p3.JPG"));
  EXPECT_NE(run.out.find("Number of Colonies: 4 \n"), std::string::npos);
}

TEST_F(CommandLine, OnePhotographWritesThePlainImageNames) {
  std::filesystem::create_directory(folder.path() / "out");
  const CliRun run = runCli(folder, "--output-dir out plates/p1.JPG");
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(std::filesystem::exists(folder.path() / "out" / "bb.jpg"));
  EXPECT_EQ(run.out.rfind("\nData Set: plates/p1.JPG\n", 0), 0u);
}

TEST_F(CommandLine, JsonAgreesWithTheLibraryAndDoesNotDependOnJobs) {
  const CliRun one = runCli(folder, "--method fixed --format json --no-images --jobs 1 --min-area 100 --lip 7 --diameter 90 plates");
  const CliRun two = runCli(folder, "--method fixed --format json --no-images -j 3 --min-area 100 --lip 7 --diameter 90 plates");
  ASSERT_EQ(one.status, 0) << one.err;
  EXPECT_EQ(one.out, two.out);
  const nlohmann::json results = nlohmann::json::parse(one.out);
  ASSERT_EQ(results.size(), 3u);
  const DishAnalysis expected =
      testing::analyseAndWrite((folder.path() / "plates/p2.JPG").string(), {100, 3000, 7, 90}, {false, ".", ""});
  const nlohmann::json& second = results[1];
  EXPECT_EQ(second["imagePath"], "plates/p2.JPG");
  EXPECT_EQ(second["percentage"].get<double>(), expected.statistics->percentage);
  EXPECT_EQ(second["colonyAreaMm2"].get<double>(), expected.statistics->colonyAreaMm2);
  EXPECT_EQ(second["medianColonyAreaMm2"].get<double>(), expected.statistics->medianColonyAreaMm2);
  EXPECT_EQ(second["colonyCount"], 3);
  EXPECT_EQ(second["estimatedYeasts"], expected.statistics->estimatedYeasts);
  EXPECT_EQ(second["backgroundLevel"], 30);
  EXPECT_EQ(second["dishBounds"]["right"], 349);
  EXPECT_FALSE(second.contains("error"));
  EXPECT_FALSE(std::filesystem::exists(folder.path() / "p1.bb.jpg"));
}

TEST_F(CommandLine, CsvSummaryAndColoniesFile) {
  const CliRun run = runCli(folder, "--method fixed --format csv --no-images --min-area 100 --colonies colonies.csv plates/p1.JPG");
  ASSERT_EQ(run.status, 0) << run.err;
  std::istringstream lines(run.out);
  std::string header, row;
  std::getline(lines, header);
  std::getline(lines, row);
  EXPECT_EQ(header,
            "imagePath,percentage,colonyAreaMm2,medianColonyAreaMm2,estimatedYeasts,colonyCount,backgroundLevel,"
            "dishLeft,dishRight,dishTop,dishBottom,error,flags,estimatedColonies,method,minColonyArea,maxColonyArea,"
            "dishLip,dishDiameterMm,dishCentreX,dishCentreY,dishRadius,agarLightness,noise,typicalColonyArea,polarity,"
            "outputError,sha256,version,correctedCount");
  EXPECT_EQ(row.substr(0, 14), "plates/p1.JPG,");
  EXPECT_NE(row.find(",2,30,50,349,50,349,"), std::string::npos) << row;
  EXPECT_EQ(readFile(folder.path() / "colonies.csv"),
            "imagePath,label,area,minX,maxX,minY,maxY,centroidX,centroidY,kind,correction\n"
            "plates/p1.JPG,1,400,110,129,190,209,119.5,199.5,lone,\n"
            "plates/p1.JPG,2,420,140,159,190,210,149.5,200,lone,\n");
}

TEST_F(CommandLine, FailedPhotographsAreReportedAndTheOthersStillAnalysed) {
  std::ofstream(folder.path() / "plates" / "broken.jpg") << "not a photograph";
  const CliRun run = runCli(folder, "--no-images --format csv plates");
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.out.find("plates/broken.jpg,,,,,,,,,,,the file is not a JPEG or PNG image,"), std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("plates/p3.JPG,"), std::string::npos);
  EXPECT_NE(run.err.find("plates/broken.jpg: the file is not a JPEG or PNG image"), std::string::npos);

  const CliRun text = runCli(folder, "--no-images plates/broken.jpg missing.jpg");
  EXPECT_EQ(text.status, 1);
  EXPECT_NE(text.out.find("\nError: plates/broken.jpg: the file is not a JPEG or PNG image\n"), std::string::npos);
  EXPECT_NE(text.out.find("\nError: missing.jpg: no such file\n"), std::string::npos);
}

TEST_F(CommandLine, TheAdaptiveMethodReportsFlagsAndWritesItsStages) {
  std::filesystem::create_directory(folder.path() / "stages");
  const CliRun run = runCli(folder, "--method adaptive --no-images --debug-images stages --format json plates/p1.JPG");
  ASSERT_EQ(run.status, 0) << run.err;
  const nlohmann::json results = nlohmann::json::parse(run.out);
  EXPECT_TRUE(results[0].contains("colonyCount"));
  EXPECT_EQ(results[0]["flags"][0], "no dish rim found: the whole frame was taken as the dish");
  EXPECT_TRUE(std::filesystem::exists(folder.path() / "stages" / "p1.4-mask.png"));
  EXPECT_EQ(runCli(folder, "--method magic plates").status, 2);
  std::ofstream(folder.path() / "afile") << "not a folder";
  EXPECT_EQ(runCli(folder, "--method adaptive --debug-images afile plates").status, 2);
}

TEST_F(CommandLine, UsageErrorsAndHelp) {
  EXPECT_EQ(runCli(folder, "").status, 2);
  EXPECT_EQ(runCli(folder, "--format xml plates").status, 2);
  EXPECT_EQ(runCli(folder, "--jobs 0 plates").status, 2);
  EXPECT_EQ(runCli(folder, "--min-area ten plates").status, 2);
  std::ofstream(folder.path() / "afile") << "not a folder";
  EXPECT_EQ(runCli(folder, "--output-dir afile plates").status, 2);
  const CliRun help = runCli(folder, "--help");
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("--min-area"), std::string::npos);
  EXPECT_EQ(runCli(folder, "--version").status, 0);
  std::filesystem::create_directory(folder.path() / "empty");
  const CliRun empty = runCli(folder, "empty");
  EXPECT_EQ(empty.status, 1);
  EXPECT_NE(empty.err.find("no *.jpg photographs"), std::string::npos);
}

// The front end answers --help by itself, and says plainly when its analysis module is missing.
TEST_F(CommandLine, WithoutItsAnalysisModuleTheFrontEndStillHelpsAndFailsPlainly) {
  std::filesystem::create_directory(folder.path() / "bin");
  std::filesystem::copy_file(CORVALE_CLI, folder.path() / "bin/corvale-cli");
  const std::string cli = quoted((folder.path() / "bin/corvale-cli").string());
  EXPECT_EQ(std::system((cli + " --help >/dev/null").c_str()), 0);
  const std::string err = (folder.path() / "err.txt").string();
  const int status = std::system((cli + " --no-images " + quoted((folder.path() / "plates/p1.JPG").string()) + " 2>" + err).c_str());
  EXPECT_EQ(WEXITSTATUS(status), 1);
  EXPECT_NE(readFile(err).find("the analysis cannot be loaded"), std::string::npos);
}

TEST_F(CommandLine, OddEntriesInAFolderNeitherHangNorBreakTheOutputs) {
  const std::filesystem::path plates = folder.path() / "plates";
  std::filesystem::create_directory(plates / "folder.jpg");
  ASSERT_EQ(mkfifo((plates / "pipe.jpg").c_str(), 0600), 0);
  std::filesystem::create_symlink(plates / "gone.jpg", plates / "dangling.jpg");
  std::filesystem::copy_file(plates / "p1.JPG", plates / "caf\xC3\xA9 plate.jpg");
  std::filesystem::copy_file(plates / "p1.JPG", plates / "bad\xFF name.jpg");
  std::vector<std::uint8_t> real;
  cv::imencode(".jpg", plate(2), real);
  std::ofstream(plates / "truncated.jpg", std::ios::binary).write(reinterpret_cast<const char*>(real.data()), real.size() / 2);

  const CliRun json = runCli(folder, "--method fixed --no-images --format json plates");
  EXPECT_EQ(json.status, 1);
  const nlohmann::json results = nlohmann::json::parse(json.out);  // throws on invalid UTF-8
  std::vector<std::string> paths;
  for (const auto& result : results) paths.push_back(result["imagePath"]);
  EXPECT_EQ(paths, (std::vector<std::string>{"plates/bad\xEF\xBF\xBD name.jpg", "plates/caf\xC3\xA9 plate.jpg",
                                             "plates/p1.JPG", "plates/p2.JPG", "plates/p3.JPG", "plates/truncated.jpg"}));
  EXPECT_EQ(results[0]["colonyCount"], 2);
  EXPECT_EQ(results[5]["error"], "the JPEG file is truncated: image data is missing");

  const CliRun csv = runCli(folder, "--no-images --format csv plates");
  EXPECT_EQ(csv.status, 1);
  EXPECT_EQ(validUtf8(csv.out), csv.out);
  EXPECT_NE(csv.out.find("plates/bad\xEF\xBF\xBD name.jpg,"), std::string::npos);

  // Named directly, each odd entry fails with its own message.
  const CliRun direct = runCli(folder, "--no-images plates/pipe.jpg plates/dangling.jpg plates/folder.jpg/x.jpg");
  EXPECT_EQ(direct.status, 1);
  EXPECT_NE(direct.out.find("plates/pipe.jpg: not a regular file"), std::string::npos) << direct.out;
  EXPECT_NE(direct.out.find("plates/dangling.jpg: a symbolic link to a file that does not exist"), std::string::npos);
}

TEST_F(CommandLine, OversizedImagesAreRefusedBeforeDecoding) {
  std::vector<std::uint8_t> png;
  cv::imencode(".png", plate(1), png);
  png[18] = 0x75, png[19] = 0x30, png[22] = 0x75, png[23] = 0x30;  // 30000 x 30000
  std::ofstream(folder.path() / "huge.jpg", std::ios::binary).write(reinterpret_cast<const char*>(png.data()), png.size());
  const CliRun run = runCli(folder, "--no-images huge.jpg");
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.out.find("huge.jpg: the image is 30000 x 30000 pixels, more than the limit of 100 megapixels"),
            std::string::npos)
      << run.out;
  EXPECT_EQ(runCli(folder, "--no-images --max-megapixels 1000 plates/p1.JPG").status, 0);
  const CliRun tight = runCli(folder, "--no-images --max-megapixels 0 plates/p1.JPG");
  EXPECT_EQ(tight.status, 2);
}

TEST_F(CommandLine, AnOutputFolderThatCannotBeWrittenKeepsEveryNumber) {
  for (const char* method : {"fixed", "adaptive"}) {
    const CliRun run = runCli(folder, std::string("--method ") + method + " --format json --output-dir /proc plates");
    EXPECT_EQ(run.status, 1) << method;
    for (const auto& result : nlohmann::json::parse(run.out)) {
      EXPECT_FALSE(result.contains("error")) << method;
      EXPECT_TRUE(result["colonyCount"].is_number()) << method;
      EXPECT_NE(result["outputError"].get<std::string>().find("threshold.jpg: cannot be written"), std::string::npos);
    }
    EXPECT_NE(run.err.find("/proc/p1.threshold.jpg: cannot be written"), std::string::npos) << run.err;
  }
}

// Both methods: one colony row per counted colony, each with its kind, and the
// provenance of every result (method, settings, version, the photograph's digest).
TEST_F(CommandLine, EveryCountedColonyIsARowAndEveryResultSaysWhereItCameFrom) {
  FILE* pipe = popen(("sha256sum " + quoted((folder.path() / "plates/p2.JPG").string())).c_str(), "r");
  char digest[65] = {};
  ASSERT_EQ(std::fread(digest, 1, 64, pipe), 64u);
  pclose(pipe);
  const std::string version = runCli(folder, "--version").out;
  for (const char* method : {"fixed", "adaptive"}) {
    const CliRun run = runCli(folder, std::string("--no-images --format json --colonies rows.csv ") +
                                          (std::string(method) == "fixed" ? "--min-area 100 " : "") +
                                          "--method " + method + " plates");
    ASSERT_EQ(run.status, 0) << run.err;
    const nlohmann::json results = nlohmann::json::parse(run.out);
    const std::string rows = readFile(folder.path() / "rows.csv");
    for (const auto& result : results) {
      const std::string path = result["imagePath"];
      std::size_t counted = 0;
      for (std::size_t at = rows.find("\n" + path + ","); at != std::string::npos; at = rows.find("\n" + path + ",", at + 1)) {
        const std::size_t end = rows.find('\n', at + 1);
        const std::size_t correction = rows.rfind(',', end);  // the kind is the field before it
        const std::size_t kindStart = rows.rfind(',', correction - 1) + 1;
        const std::string kind = rows.substr(kindStart, correction - kindStart);
        EXPECT_TRUE(colonyKindFromName(kind).has_value()) << kind;
        ++counted;
      }
      EXPECT_EQ(counted, result["colonyCount"].get<std::size_t>()) << method << " " << path;
      EXPECT_EQ(result["method"], method);
      EXPECT_EQ(result["settings"]["dishDiameterMm"], 100);
      EXPECT_EQ(result["settings"].contains("minColonyArea"), std::string(method) == "fixed");
      EXPECT_EQ(version, "corvale-cli " + result["version"].get<std::string>() + "\n");
      EXPECT_EQ(result.contains("dishCircle"), std::string(method) == "adaptive");
      EXPECT_EQ(result["backgroundLevel"].is_null(), std::string(method) == "adaptive");
    }
    EXPECT_EQ(results[1]["sha256"], digest);
  }
}

TEST_F(CommandLine, StandardOutputThatCannotBeWrittenIsAFailure) {
  const CliRun run = runCli(folder, "--no-images plates", " >/dev/full");
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("standard output"), std::string::npos);
}

}  // namespace
}  // namespace corvale
