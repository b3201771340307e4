// The analysis of whole photographs, drawn in the test with a known dish and colonies.

#include <gtest/gtest.h>

#include <clocale>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "analysis/dish_analysis.hpp"
#include "analysis/io/image_files.hpp"
#include "analysis/report/text_report.hpp"
#include "analysis_helpers.hpp"
#include "temporary_folder.hpp"

namespace corvale {
namespace {

using testing::TemporaryFolder;

const ImageOutputs noImages{false, ".", ""};

// A 400 x 400 photograph: grey 30 bench, a square dish of red agar over columns and
// rows 50 to 349 (bounds 50..349, width and height 299), and bright colonies. Four of
// them (400, 500, 600 and 800 pixels) count; one is too small, one too large and one
// lies in the dish's corner, outside its circle. Written losslessly (PNG).
cv::Mat syntheticPlate() {
  cv::Mat photo(400, 400, CV_8UC3, cv::Scalar(30, 30, 30));
  photo(cv::Rect(50, 50, 300, 300)).setTo(cv::Scalar(40, 60, 160));
  const cv::Scalar colony(220, 220, 220);
  for (const cv::Rect box : {cv::Rect(150, 150, 20, 20), cv::Rect(200, 160, 25, 20), cv::Rect(160, 210, 30, 20),
                             cv::Rect(210, 220, 40, 20), cv::Rect(120, 200, 10, 10), cv::Rect(260, 150, 50, 62),
                             cv::Rect(60, 60, 20, 20)}) {
    photo(box).setTo(colony);
  }
  return photo;
}

const std::string expectedReport =
    "\r\nData Set: PATH\r\nPercentage: 3.32 \r\nOverall Area: 260.74 [mm2] \r\n"
    "Number of Colonies: 4 \r\nEstimated number of yeasts: 4 \r\n";

std::string reportFor(const std::string& path) {
  std::string report = expectedReport;
  report.replace(report.find("PATH"), 4, path);
  return report;
}

TEST(DishAnalysis, SyntheticPlateEndToEnd) {
  TemporaryFolder folder;
  const std::string path = joinImagePath(folder.path().string(), "plate.png");
  ASSERT_TRUE(cv::imwrite(path, syntheticPlate()));

  const DishAnalysis result = testing::analyseAndWrite(path, AnalysisSettings{}, ImageOutputs{true, folder.path(), "x."});
  ASSERT_TRUE(result.ok()) << *result.error;
  EXPECT_EQ(result.backgroundLevel, 30);
  EXPECT_EQ(result.dishBounds->left, 50);
  EXPECT_EQ(result.dishBounds->right, 349);
  EXPECT_EQ(result.dishBounds->top, 50);
  EXPECT_EQ(result.dishBounds->bottom, 349);
  EXPECT_EQ(formatReport(result, "\r\n"), reportFor(path));
  EXPECT_EQ(formatReport(result, "\n").find('\r'), std::string::npos);
  ASSERT_EQ(result.colonies.size(), 4u);
  EXPECT_EQ(result.colonies[0].area, 400.0);
  EXPECT_EQ(result.colonies[0].centre.x, 159.5);
  EXPECT_EQ(result.colonies[0].kind, ColonyKind::lone);

  // The three images, byte for byte: the thresholded photograph, then the photograph
  // with a cross on each colony, then with the boxes added, drawn here from the
  // colonies' known geometry and encoded the same way.
  const auto encoded = [](const cv::Mat& image) {
    std::vector<std::uint8_t> bytes;
    cv::imencode(".jpg", image, bytes);
    return bytes;
  };
  const auto fileBytes = [&](const char* name) {
    std::ifstream file(folder.path() / name, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(file), {});
  };
  cv::Mat expected = syntheticPlate();
  cv::Mat thresholded;
  cv::threshold(expected, thresholded, 100, 200, cv::THRESH_BINARY);
  EXPECT_EQ(fileBytes("x.threshold.jpg"), encoded(thresholded));
  const cv::Scalar blue(255, 50, 50), red(0, 0, 255);
  for (const cv::Point c : {cv::Point(159, 159), cv::Point(212, 169), cv::Point(174, 219), cv::Point(229, 229)}) {
    cv::line(expected, c - cv::Point(6, 0), c + cv::Point(6, 0), blue);
    cv::line(expected, c - cv::Point(0, 6), c + cv::Point(0, 6), blue);
  }
  EXPECT_EQ(fileBytes("x.centroid.jpg"), encoded(expected));
  for (const cv::Rect box : {cv::Rect(150, 150, 20, 20), cv::Rect(200, 160, 25, 20), cv::Rect(160, 210, 30, 20),
                             cv::Rect(210, 220, 40, 20)}) {
    cv::rectangle(expected, box.tl(), box.br() - cv::Point(1, 1), red);
  }
  EXPECT_EQ(fileBytes("x.bb.jpg"), encoded(expected));
  EXPECT_EQ(cv::norm(result.annotatedImage, expected, cv::NORM_INF), 0.0);
}

TEST(DishAnalysis, TheSameRunTwiceGivesTheSameReportAndNoImagesWhenNotAsked) {
  TemporaryFolder folder;
  const std::string path = joinImagePath(folder.path().string(), "plate.png");
  ASSERT_TRUE(cv::imwrite(path, syntheticPlate()));
  AnalysisBuffers buffers;
  const ImageOutputs none{false, folder.path(), ""};
  const DishAnalysis first = testing::analyseAndWrite(path, AnalysisSettings{}, none, CountingMethod::fixed, {}, &buffers);
  const DishAnalysis second = testing::analyseAndWrite(path, AnalysisSettings{}, none, CountingMethod::fixed, {}, &buffers);
  EXPECT_EQ(formatReport(first, "\n"), formatReport(second, "\n"));
  EXPECT_FALSE(std::filesystem::exists(folder.path() / "threshold.jpg"));
}

TEST(DishAnalysis, ForegroundComesFromTheBlueChannelOnly) {
  TemporaryFolder folder;
  cv::Mat photo = syntheticPlate();
  photo(cv::Rect(150, 150, 20, 20)).setTo(cv::Scalar(100, 255, 255));  // blue 100: background
  photo(cv::Rect(200, 160, 25, 20)).setTo(cv::Scalar(101, 0, 0));      // blue 101: a colony
  const std::string path = joinImagePath(folder.path().string(), "plate.png");
  ASSERT_TRUE(cv::imwrite(path, photo));
  const DishAnalysis result = testing::analyseAndWrite(path, AnalysisSettings{}, noImages);
  ASSERT_TRUE(result.ok());
  EXPECT_EQ(result.statistics->colonyCount, 3);
}

TEST(DishAnalysis, NoColonyLeftGivesAZeroReport) {
  TemporaryFolder folder;
  const std::string path = joinImagePath(folder.path().string(), "plate.png");
  ASSERT_TRUE(cv::imwrite(path, syntheticPlate()));
  AnalysisSettings settings;
  settings.minColonyArea = 5000;
  const DishAnalysis result = testing::analyseAndWrite(path, settings, noImages);
  ASSERT_TRUE(result.ok());
  EXPECT_EQ(formatReport(result, "\n"), "\nData Set: " + path +
                                            "\nPercentage: 0.00 \nOverall Area: 0.00 [mm2] \n"
                                            "Number of Colonies: 0 \nEstimated number of yeasts: 0 \n");
}

TEST(DishAnalysis, PhotographsThatCannotBeAnalysedFailWithOneLineNamingTheFile) {
  TemporaryFolder folder;
  const auto write = [&](const std::string& name, const cv::Mat& image) {
    const std::string path = joinImagePath(folder.path().string(), name);
    EXPECT_TRUE(cv::imwrite(path, image));
    return path;
  };
  cv::Mat flatDish(100, 100, CV_8UC3, cv::Scalar(30, 30, 30));
  flatDish.col(60).setTo(cv::Scalar(200, 200, 200));  // one qualifying column, and
  flatDish.row(60).setTo(cv::Scalar(200, 200, 200));  // one qualifying row: no area

  const std::string text = joinImagePath(folder.path().string(), "notes.jpg");
  std::ofstream(text) << "not an image";
  const std::pair<std::string, std::string> cases[] = {
      {text, "the file is not a JPEG or PNG image"},
      {joinImagePath(folder.path().string(), "missing.jpg"), "no such file"},
      {write("tiny.png", cv::Mat(19, 40, CV_8UC3, cv::Scalar(30, 30, 30))), "smaller than 20 x 20"},
      {write("uniform.png", cv::Mat(60, 60, CV_8UC3, cv::Scalar(30, 30, 30))), "no dish found"},
      {write("flat.png", flatDish), "too small to measure"},
  };
  for (const auto& [path, problem] : cases) {
    const DishAnalysis result = testing::analyseAndWrite(path, AnalysisSettings{}, ImageOutputs{true, folder.path(), ""});
    ASSERT_FALSE(result.ok()) << path;
    EXPECT_NE(result.error->find(problem), std::string::npos) << *result.error;
    const std::string report = formatReport(result, "\n");
    EXPECT_EQ(report, "\nError: " + path + ": " + *result.error + "\n");
    EXPECT_FALSE(result.statistics.has_value());
  }
  EXPECT_FALSE(std::filesystem::exists(folder.path() / "threshold.jpg"));
}

TEST(DishAnalysis, AnImageThatCannotBeWrittenKeepsTheNumbers) {
  TemporaryFolder folder;
  const std::string path = joinImagePath(folder.path().string(), "plate.png");
  ASSERT_TRUE(cv::imwrite(path, syntheticPlate()));
  for (const CountingMethod method : {CountingMethod::fixed, CountingMethod::adaptive}) {
    const DishAnalysis result = testing::analyseAndWrite(
        path, AnalysisSettings{}, ImageOutputs{true, folder.path() / "no-such-folder", ""}, method);
    ASSERT_TRUE(result.ok()) << *result.error;
    ASSERT_TRUE(result.outputError.has_value());
    EXPECT_NE(result.outputError->find("threshold.jpg: cannot be written"), std::string::npos) << *result.outputError;
    const std::string report = formatReport(result, "\n");
    EXPECT_NE(report.find("Number of Colonies: " + std::to_string(result.colonies.size()) + " \n"), std::string::npos);
    EXPECT_NE(report.find("\nError: " + *result.outputError + "\n"), std::string::npos) << report;
  }
}

TEST(Report, WorkedFormatting) {
  ColonyStatistics s;
  s.percentage = 7.5;
  s.colonyAreaMm2 = 1234.567;
  s.colonyCount = 25;
  s.estimatedYeasts = 31;
  EXPECT_EQ(formatReport("D:/plates/a1.jpg", s, "\r\n"),
            "\r\nData Set: D:/plates/a1.jpg\r\nPercentage: 7.50 \r\nOverall Area: 1234.57 [mm2] \r\n"
            "Number of Colonies: 25 \r\nEstimated number of yeasts: 31 \r\n");
  s.percentage = 1e15;  // far wider than the old 20-byte line
  EXPECT_NE(formatReport("a", s, "\n").find("Percentage: 1000000000000000.00 \n"), std::string::npos);
}

TEST(Report, CommaDecimalLocaleDoesNotChangeNumbers) {
  const std::string saved = std::setlocale(LC_ALL, nullptr);
  if (std::setlocale(LC_ALL, "de_DE.UTF-8") == nullptr) GTEST_SKIP() << "de_DE.UTF-8 is not installed";
  char printed[16];
  std::snprintf(printed, sizeof printed, "%.2f", 3.14159);
  EXPECT_STREQ(printed, "3,14");  // the locale really is in force
  ColonyStatistics s;
  s.percentage = 3.14159;
  s.colonyAreaMm2 = 2.5;
  const std::string report = formatReport("a.jpg", s, "\n");
  std::setlocale(LC_ALL, saved.c_str());
  EXPECT_NE(report.find("Percentage: 3.14 \n"), std::string::npos) << report;
  EXPECT_NE(report.find("Overall Area: 2.50 [mm2]"), std::string::npos) << report;
}

TEST(ImageFiles, PathsAndListing) {
  EXPECT_EQ(joinImagePath("/plates", "a1.jpg"), "/plates/a1.jpg");
  EXPECT_EQ(joinImagePath("/", "a1.jpg"), "//a1.jpg");
  EXPECT_TRUE(hasJpgExtension("B.JPG"));
  EXPECT_TRUE(hasJpgExtension(".jpg"));
  EXPECT_FALSE(hasJpgExtension("photo.jpeg"));
  EXPECT_FALSE(hasJpgExtension("jpg"));

  TemporaryFolder folder;
  for (const char* name : {"c.jpg", "a.jpg", "B.JPG", "c.png", "photo.jpeg", "A.jpg"})
    std::ofstream(folder.path() / name) << "x";
  std::filesystem::create_directory(folder.path() / "x.jpg");
  EXPECT_EQ(listJpgNames(folder.path(), true), (std::vector<std::string>{"A.jpg", "a.jpg", "B.JPG", "c.jpg"}));
  EXPECT_EQ(listJpgNames(folder.path(), false),
            (std::vector<std::string>{"A.jpg", "a.jpg", "B.JPG", "c.jpg", "x.jpg"}));
}

}  // namespace
}  // namespace corvale
