// corvale-cli against hostile file systems and arguments: outputs that never replace
// an input or each other, special output targets, signals, and messages in words.

#include <gtest/gtest.h>

#include <signal.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <map>
#include <set>
#include <thread>

#include <nlohmann/json.hpp>

#include "analysis/io/safe_file.hpp"
#include "analysis/report/output_formats.hpp"
#include "cli/batch.hpp"
#include "cli_helpers.hpp"

namespace corvale {
namespace {

using testing::CliRun;
using testing::quoted;
using testing::readFile;
using testing::runCli;
using testing::TemporaryFolder;
using testing::writePlate;

namespace fs = std::filesystem;

// Every regular file under `folder` (links not followed), relative to it, with its bytes.
std::map<std::string, std::string> filesUnder(const fs::path& folder) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    if (entry.is_symlink() || !entry.is_regular_file()) continue;
    files[fs::relative(entry.path(), folder).string()] = readFile(entry.path());
  }
  return files;
}

bool anyTemporaryFileUnder(const fs::path& folder) {
  for (const auto& entry : fs::recursive_directory_iterator(folder))
    if (entry.path().extension() == ".tmp") return true;
  return false;
}

TEST(OutputNames, NoOutputReplacesAnInputOrAnotherOutput) {
  struct Case {
    const char* name;
    std::vector<std::string> photographs;
    std::function<void(const fs::path&)> setUp;
    std::string arguments;
    std::set<std::string> written;
  };
  const auto none = [](const fs::path&) {};
  const std::vector<Case> cases = {
      {"an input with a plain output name", {"bb.jpg"}, none, "bb.jpg",
       {"bb.threshold.jpg", "bb.centroid.jpg", "bb.bb.jpg"}},
      {"an input named like another's output", {"plate.jpg", "plate.bb.jpg"}, none,
       "--output-dir . plate.jpg plate.bb.jpg",
       {"plate-2.threshold.jpg", "plate-2.centroid.jpg", "plate-2.bb.jpg", "plate.bb.threshold.jpg",
        "plate.bb.centroid.jpg", "plate.bb.bb.jpg"}},
      {"repeated stems and a stem like a renamed one", {"a/x.jpg", "b/x.jpg", "c/x-2.jpg"}, none,
       "--output-dir out a/x.jpg b/x.jpg c/x-2.jpg",
       {"out/x.threshold.jpg", "out/x.centroid.jpg", "out/x.bb.jpg", "out/x-2.threshold.jpg", "out/x-2.centroid.jpg",
        "out/x-2.bb.jpg", "out/x-2-2.threshold.jpg", "out/x-2-2.centroid.jpg", "out/x-2-2.bb.jpg"}},
      {"stage images of repeated stems", {"a/x.jpg", "b/x.jpg"}, none, "--no-images --debug-images st a/x.jpg b/x.jpg",
       {"st/x.1-dish.jpg", "st/x.2-background.jpg", "st/x.3-contrast.jpg", "st/x.4-mask.png", "st/x.5-colonies.jpg",
        "st/x-2.1-dish.jpg", "st/x-2.2-background.jpg", "st/x-2.3-contrast.jpg", "st/x-2.4-mask.png",
        "st/x-2.5-colonies.jpg"}},
      {"output names linked to the input", {"p.jpg"},
       [](const fs::path& root) {
         fs::create_directory(root / "out");
         fs::create_symlink("../p.jpg", root / "out/threshold.jpg");
         fs::create_hard_link(root / "p.jpg", root / "out/bb.jpg");
       },
       "--output-dir out p.jpg", {"out/p.threshold.jpg", "out/p.centroid.jpg", "out/p.bb.jpg"}},
      {"the output folder reached through a link", {"d/bb.jpg"},
       [](const fs::path& root) { fs::create_directory_symlink("d", root / "link"); }, "--output-dir link d/bb.jpg",
       {"d/bb.threshold.jpg", "d/bb.centroid.jpg", "d/bb.bb.jpg"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TemporaryFolder folder;
    for (std::size_t i = 0; i < c.photographs.size(); ++i) {
      fs::create_directories((folder.path() / c.photographs[i]).parent_path());
      writePlate(folder.path() / c.photographs[i], static_cast<int>(i) + 1);
    }
    c.setUp(folder.path());
    const std::map<std::string, std::string> before = filesUnder(folder.path());
    const CliRun run = runCli(folder, c.arguments);
    EXPECT_EQ(run.status, 0) << run.err;
    const std::map<std::string, std::string> after = filesUnder(folder.path());
    std::set<std::string> written;
    for (const auto& [path, bytes] : after) {
      const auto old = before.find(path);
      if (old == before.end()) {
        written.insert(path);
      } else {
        EXPECT_EQ(old->second, bytes) << path << " was replaced";
      }
    }
    EXPECT_EQ(written, c.written);
  }
}

TEST(OutputNames, ASecondRunDoesNotAnalyseTheFirstRunsImages) {
  for (const char* arguments : {"--method fixed --output-dir plates --format json plates",
                                "--no-images --debug-images plates --format json plates"}) {
    SCOPED_TRACE(arguments);
    TemporaryFolder folder;
    fs::create_directory(folder.path() / "plates");
    writePlate(folder.path() / "plates/a.jpg", 1);
    writePlate(folder.path() / "plates/b.jpg", 2);
    const CliRun first = runCli(folder, arguments);
    const std::size_t filesAfterFirst = filesUnder(folder.path()).size();
    const CliRun second = runCli(folder, arguments);
    ASSERT_EQ(second.status, 0) << second.err;
    EXPECT_EQ(nlohmann::json::parse(first.out).size(), 2u);
    EXPECT_EQ(nlohmann::json::parse(second.out).size(), 2u);
    EXPECT_EQ(filesUnder(folder.path()).size(), filesAfterFirst);
  }
}

TEST(OutputTargets, SpecialTargetsAreWrittenNotReplaced) {
  struct Case {
    const char* name;
    std::function<void(const fs::path&)> setUp;
    std::string arguments;
    std::string redirect;
    int status;
    std::function<void(const fs::path&, const CliRun&)> check;
  };
  const std::string colonyHeader = "imagePath,label,area";
  const auto fifo = [](const fs::path& root) { ASSERT_EQ(mkfifo((root / "fifo").c_str(), 0600), 0); };
  int reader = -1;  // the reading end of the FIFO, held by the test
  const std::vector<Case> cases = {
      {"/dev/stdout on a pipe", [](const fs::path&) {}, "--colonies /dev/stdout", "", 0,
       [&](const fs::path&, const CliRun& run) {
         EXPECT_LT(run.out.find("imagePath,percentage"), run.out.find(colonyHeader)) << run.out;
       }},
      {"/dev/stdout redirected to a file", [](const fs::path&) {}, "--colonies /dev/stdout", " >result.csv", 0,
       [&](const fs::path& root, const CliRun&) {
         const std::string result = readFile(root / "result.csv");
         EXPECT_LT(result.find("imagePath,percentage"), result.find(colonyHeader)) << result;
         EXPECT_TRUE(fs::is_symlink("/dev/stdout"));
       }},
      {"a FIFO with a reader",
       [&](const fs::path& root) {
         fifo(root);
         reader = open((root / "fifo").c_str(), O_RDONLY | O_NONBLOCK);
         ASSERT_GE(reader, 0);
       },
       "--colonies fifo", "", 0,
       [&](const fs::path& root, const CliRun&) {
         char got[4096] = {};
         EXPECT_GT(read(reader, got, sizeof got - 1), 0);
         close(reader);
         EXPECT_EQ(std::string(got).rfind(colonyHeader, 0), 0u) << got;
         EXPECT_TRUE(fs::is_fifo(root / "fifo"));
       }},
      {"a FIFO without a reader", fifo, "--colonies fifo", "", 1,
       [](const fs::path& root, const CliRun& run) {
         EXPECT_NE(run.err.find("fifo: cannot be written: nothing reads from it"), std::string::npos) << run.err;
         EXPECT_TRUE(fs::is_fifo(root / "fifo"));
       }},
      {"a link planted at a temporary name",
       [](const fs::path& root) {
         std::ofstream(root / "victim") << "keep";
         fs::create_symlink("victim", root / "rows.csv.partial");
       },
       "--colonies rows.csv", "", 0,
       [&](const fs::path& root, const CliRun&) {
         EXPECT_EQ(readFile(root / "victim"), "keep");
         EXPECT_EQ(readFile(root / "rows.csv").rfind(colonyHeader, 0), 0u);
       }},
      {"a missing output folder", [](const fs::path&) {}, "--output-dir new/deeper", "", 0,
       [](const fs::path& root, const CliRun&) { EXPECT_TRUE(fs::is_regular_file(root / "new/deeper/bb.jpg")); }},
      {"an output folder that is a file", [](const fs::path& root) { std::ofstream(root / "afile") << "x"; },
       "--output-dir afile", "", 2,
       [](const fs::path&, const CliRun& run) {
         EXPECT_NE(run.err.find("--output-dir: afile is a file, not a folder"), std::string::npos) << run.err;
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TemporaryFolder folder;
    writePlate(folder.path() / "p.jpg", 2);
    c.setUp(folder.path());
    const CliRun run = runCli(folder, "--method fixed --format csv " + c.arguments + " p.jpg", c.redirect);
    EXPECT_EQ(run.status, c.status) << run.err;
    c.check(folder.path(), run);
    EXPECT_FALSE(anyTemporaryFileUnder(folder.path()));
  }
}

TEST(OutputTargets, TwoRunsOnOneColoniesFileLeaveOneRunsWholeFile) {
  TemporaryFolder folder;
  writePlate(folder.path() / "a.jpg", 1);
  writePlate(folder.path() / "b.jpg", 3);
  std::set<std::string> whole;
  for (const char* photograph : {"a.jpg", "b.jpg"}) {
    ASSERT_EQ(runCli(folder, std::string("--no-images --colonies rows.csv ") + photograph).status, 0);
    whole.insert(readFile(folder.path() / "rows.csv"));
  }
  ASSERT_EQ(whole.size(), 2u);
  const std::string run = quoted(CORVALE_CLI) + " --no-images --colonies rows.csv -j 1 ";
  for (int round = 0; round < 10; ++round) {
    const std::string command = "cd " + quoted(folder.path().string()) + " && { " + run + "a.jpg >/dev/null & a=$!; " +
                                run + "b.jpg >/dev/null & b=$!; wait $a && wait $b; }";
    EXPECT_EQ(std::system(command.c_str()), 0);
    EXPECT_TRUE(whole.contains(readFile(folder.path() / "rows.csv"))) << "round " << round;
  }
  EXPECT_FALSE(anyTemporaryFileUnder(folder.path()));
}

// A process that writes a file over and over, and ends itself by `signal` once a
// temporary file is on disk.
[[noreturn]] void writeUntilSignalled(const fs::path& folder, int signal) {
  removeTemporaryFilesOnSignals();
  std::thread([&] {
    const std::string bytes(32 << 20, 'x');
    for (;;) {
      try {
        writeFileAtomically(folder / "big.bin", bytes);
      } catch (const std::runtime_error&) {  // refused once the signal has come
      }
    }
  }).detach();
  while (!anyTemporaryFileUnder(folder)) std::this_thread::yield();
  raise(signal);
  _exit(99);  // not reached
}

TEST(Interruption, ASignalRemovesTemporaryFilesAndEndsTheProcessByIt) {
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(signal);
    TemporaryFolder folder;
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) writeUntilSignalled(folder.path(), signal);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << status;
    EXPECT_FALSE(anyTemporaryFileUnder(folder.path()));
  }

  // The command line interrupted while it writes images: whole CSV rows, no temporary file.
  TemporaryFolder folder;
  fs::create_directory(folder.path() / "plates");
  for (int i = 0; i < 40; ++i) writePlate(folder.path() / "plates" / (std::to_string(i) + ".jpg"), 1 + i % 4);
  const std::string command = "cd " + quoted(folder.path().string()) + " && echo $$ && exec " + quoted(CORVALE_CLI) +
                              " --method fixed --format csv -j 2 --output-dir out plates 2>/dev/null";
  FILE* pipe = popen(command.c_str(), "r");
  char line[8192];
  ASSERT_NE(std::fgets(line, sizeof line, pipe), nullptr);
  const pid_t cli = std::stoi(line);
  ASSERT_NE(std::fgets(line, sizeof line, pipe), nullptr);  // the header
  const std::string header = line;
  ASSERT_NE(std::fgets(line, sizeof line, pipe), nullptr);  // the first row: images are being written
  kill(cli, SIGINT);
  std::string rest;
  for (std::size_t n; (n = std::fread(line, 1, sizeof line, pipe)) > 0;) rest.append(line, n);
  pclose(pipe);
  EXPECT_TRUE(rest.empty() || rest.back() == '\n') << rest;
  const auto commas = [](std::string_view text) { return std::count(text.begin(), text.end(), ','); };
  for (std::size_t start = 0, end; (end = rest.find('\n', start)) != std::string::npos; start = end + 1)
    EXPECT_EQ(commas(std::string_view(rest).substr(start, end - start)), commas(header));
  EXPECT_FALSE(anyTemporaryFileUnder(folder.path()));
}

TEST(Limits, WorkersAndTheMemoryBudgetDoNotChangeTheResults) {
  TemporaryFolder folder;
  std::vector<std::string> paths;
  for (int i = 0; i < 6; ++i) {
    paths.push_back((folder.path() / (std::to_string(i) + ".jpg")).string());
    writePlate(paths.back(), 1 + i % 3);
  }
  const auto summary = [&](unsigned jobs, std::uint64_t budget) {
    BatchOptions options;
    options.writeImages = false;
    options.jobs = jobs;
    options.memoryBudget = budget;  // 1 byte: every photograph waits for the others to finish
    std::string rows;
    std::size_t expected = 0;
    runBatch(collectBatch(paths), options, [&](std::size_t index, const DishAnalysis& analysis) {
      EXPECT_EQ(index, expected++);
      rows += summaryCsvRow(analysis);
    });
    return rows;
  };
  const std::string alone = summary(1, 0);
  for (const auto& [jobs, budget] : std::vector<std::pair<unsigned, std::uint64_t>>{{4, 1}, {4, 0}, {3, 200'000'000}})
    EXPECT_EQ(summary(jobs, budget), alone) << jobs << " workers, budget " << budget;
}

TEST(Options, UsageErrorsSayWhatIsWrong) {
  struct Case {
    std::string arguments;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"-j 0 p.jpg", "--jobs: must be a whole number from 1 to"},
      {"--method Adaptive p.jpg", "not one of the choices: adaptive or fixed"},
      {"--format XML p.jpg", "not one of the choices: text, csv or json"},
      {"--diameter 0 p.jpg", "--diameter: must be a whole number of millimetres from 1 to 10000"},
      {"--diameter 20000 p.jpg", "--diameter: must be a whole number of millimetres from 1 to 10000"},
      {"--max-megapixels 18446744073710 p.jpg", "--max-megapixels: must be a whole number of megapixels from 1"},
      {"--min-area 100 p.jpg", "--min-area is used only by the fixed method; add --method fixed"},
      {"--method adaptive --max-area 100 p.jpg", "--max-area is used only by the fixed method"},
      {"--lip 3 p.jpg", "--lip is used only by the fixed method"},
      {"--min-area.jpg", "to analyse a file whose name starts with a dash, put -- before"},
      {"--output-dir p.jpg p.jpg", "--output-dir: p.jpg is a file, not a folder"},
      {"--colonies ./p.jpg p.jpg", "--colonies: ./p.jpg is a photograph of this run"},
  };
  TemporaryFolder folder;
  writePlate(folder.path() / "p.jpg", 1);
  for (const Case& c : cases) {
    const CliRun run = runCli(folder, c.arguments);
    EXPECT_EQ(run.status, 2) << c.arguments;
    EXPECT_NE(run.err.find(c.message), std::string::npos) << c.arguments << "\n" << run.err;
    EXPECT_EQ(run.err.find("->"), std::string::npos) << run.err;
  }
  const CliRun help = runCli(folder, "--help");
  EXPECT_EQ(help.out.find("ENUM"), std::string::npos) << help.out;
  EXPECT_EQ(help.out.find("->"), std::string::npos);
  EXPECT_NE(help.out.find("--max-area -1 means no upper bound"), std::string::npos);
  EXPECT_NE(help.out.find("--method METHOD=adaptive"), std::string::npos);
}

TEST(Options, ProblemsWithAPhotographAreSaidInWords) {
  struct Case {
    const char* name;
    std::function<std::string(const fs::path&)> setUp;  // the arguments
    std::string expected;                                // in the output
    int status;
    bool terminal = false;  // run under a pseudo-terminal, for the progress line
  };
  const std::string longPath = [] {
    std::string path;
    while (path.size() < 5000) path += "./";
    return path + "p.jpg";
  }();
  const std::vector<Case> cases = {
      {"a path over 4096 bytes", [&](const fs::path&) { return longPath; }, "the path is longer than the system allows",
       1},
      {"a loop of symbolic links",
       [](const fs::path& root) {
         fs::create_symlink("loop.jpg", root / "loop.jpg");
         return std::string("loop.jpg");
       },
       "loop.jpg: the path goes round a loop of symbolic links", 1},
      {"a frame far longer than wide",
       [](const fs::path& root) {
         std::vector<std::uint8_t> png;
         cv::imencode(".png", cv::Mat(40000, 40, CV_8UC3, cv::Scalar(40, 60, 160)), png);
         testing::writeFile(root / "strip.jpg", png);
         return std::string("--no-images strip.jpg");
       },
       "strip.jpg: the photograph is 40 x 40000 pixels: the adaptive method needs its long side at most 100 times "
       "its short side",
       1},
      {"control characters in the text report",
       [](const fs::path& root) {
         writePlate(root / "a\nb\x1b[31m.jpg", 1);
         return "--no-images " + quoted("a\nb\x1b[31m.jpg");
       },
       "Data Set: a\\nb\\x1b[31m.jpg\n", 0},
      {"control characters in an error line",
       [](const fs::path& root) {
         std::ofstream(root / "c\x1b]0;x\a.jpg") << "not a photograph";
         return "--no-images --format json " + quoted("c\x1b]0;x\a.jpg");
       },
       "corvale-cli: c\\x1b]0;x\\x07.jpg: the file is not a JPEG or PNG image", 1},
      {"control characters in the progress line",
       [](const fs::path& root) {
         writePlate(root / "d\x1b[2J.jpg", 1);
         return "--no-images " + quoted("d\x1b[2J.jpg") + " p.jpg";
       },
       "Analysed 1 of 2: d\\x1b[2J.jpg", 0, true},
      {"a negative largest colony size means no upper bound",
       [](const fs::path& root) {
         cv::Mat photo = testing::plate(1);
         photo(cv::Rect(200, 250, 60, 60)).setTo(cv::Scalar::all(230));  // 3600 pixels
         std::vector<std::uint8_t> png;
         cv::imencode(".png", photo, png);
         testing::writeFile(root / "big.jpg", png);
         return std::string("--no-images --method fixed --max-area -1 big.jpg");
       },
       "Number of Colonies: 2 \n", 0},
      {"a negative smallest colony size counts nothing",
       [](const fs::path&) { return std::string("--no-images --method fixed --min-area -1 p.jpg"); },
       "Number of Colonies: 0 \n", 0},
      {"more workers than the machine can use", [](const fs::path&) { return std::string("--no-images -j 1000000 p.jpg"); },
       "Data Set: p.jpg\n", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TemporaryFolder folder;
    writePlate(folder.path() / "p.jpg", 3);
    const std::string arguments = c.setUp(folder.path());
    CliRun run;
    if (c.terminal) {
      const std::string command = "cd " + quoted(folder.path().string()) + " && " + quoted(CORVALE_CLI) + " " + arguments;
      run = runCli(folder, "--version >/dev/null; script -qec " + quoted(command) + " /dev/null");
      run.status = run.out.find("Error:") == std::string::npos ? 0 : 1;
    } else {
      run = runCli(folder, arguments);
    }
    EXPECT_EQ(run.status, c.status) << run.out << run.err;
    const std::string all = run.out + run.err;
    EXPECT_NE(all.find(c.expected), std::string::npos) << all;
    EXPECT_EQ(all.find("dsize"), std::string::npos);
    if (!c.terminal) {
      EXPECT_EQ(all.find('\x1b'), std::string::npos) << all;
    }
  }
}

}  // namespace
}  // namespace corvale
