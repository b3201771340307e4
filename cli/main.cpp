// corvale-cli: counts the colonies on photographs of Petri dishes, headless.

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>
#include <opencv2/core.hpp>

#include "analysis/io/safe_file.hpp"
#include "analysis/report/output_formats.hpp"
#include "analysis/report/printable.hpp"
#include "analysis/version.hpp"
#include "cli/batch.hpp"

namespace {

enum class Format { text, csv, json };

constexpr int exitAllAnalysed = 0;
constexpr int exitSomeFailed = 1;
constexpr int exitUsage = 2;

constexpr unsigned jobsPerCpu = 4;        // -j above this many workers per usable CPU only adds memory
constexpr std::uint64_t maxMegapixelsLimit = 100'000;
constexpr std::int64_t maxDiameterMm = 10'000;

// True when `path` names the file standard output already writes to (/dev/stdout,
// /proc/self/fd/1, or the very file stdout was redirected to).
bool isStandardOutput(const std::string& path) {
  struct stat target {}, out {};
  return ::stat(path.c_str(), &target) == 0 && ::fstat(STDOUT_FILENO, &out) == 0 && target.st_dev == out.st_dev &&
         target.st_ino == out.st_ino;
}

// Standard output written with one write(2) per piece, so that a run ended by a
// signal leaves whole rows (and whole reports) behind, never half of one.
class StandardOutput {
 public:
  void write(std::string_view text) {
    while (ok_ && !text.empty()) {
      const ssize_t n = ::write(STDOUT_FILENO, text.data(), text.size());
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        ok_ = false;
        break;
      }
      text.remove_prefix(static_cast<std::size_t>(n));
    }
  }
  bool ok() const { return ok_; }

 private:
  bool ok_ = true;
};

// The per-colony CSV, gathered in memory and written whole at the end: two runs on
// the same path each replace it with a complete file of their own.
class ColonyFile {
 public:
  explicit ColonyFile(std::string path) : path_(std::move(path)), rows_(corvale::coloniesCsvHeader()) {}
  void add(const corvale::DishAnalysis& analysis) { rows_ += corvale::coloniesCsvRows(analysis); }
  // Writes the file; the problem, if it cannot be written.
  std::optional<std::string> commit(StandardOutput& out) const {
    if (isStandardOutput(path_)) {  // after the summary, through the same descriptor
      out.write(rows_);
      if (!out.ok()) return path_ + ": cannot be written";
      return std::nullopt;
    }
    try {
      corvale::writeFileAtomically(path_, rows_);
    } catch (const std::runtime_error& error) {
      return error.what();
    }
    return std::nullopt;
  }

 private:
  std::string path_;
  std::string rows_;
};

// "Analysed 3 of 20: plate.jpg" on one terminal line, redrawn in place.
void showProgress(std::size_t done, std::size_t total, const std::string& path) {
  std::fprintf(stderr, "\r\033[KAnalysed %zu of %zu: %s", done, total,
               corvale::escapeControlCharacters(path).c_str());
  if (done == total) std::fputc('\n', stderr);
  std::fflush(stderr);
}

// A validator from a function that returns what is wrong with a value, or "".
CLI::Validator plainCheck(std::function<std::string(const std::string&)> check) {
  return CLI::Validator([check = std::move(check)](std::string& value) { return check(value); }, "", "");
}

// A whole number from `low` to `high`, or what is wrong with `value` in words.
std::string wholeNumberIn(const std::string& value, std::int64_t low, std::int64_t high, const std::string& what) {
  std::int64_t number = 0;
  const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), number);
  if (error != std::errc() || end != value.data() + value.size() || number < low || number > high) {
    return "must be " + what + " from " + std::to_string(low) + " to " + std::to_string(high) + " (not '" +
           corvale::escapeControlCharacters(value) + "')";
  }
  return "";
}

CLI::Validator oneOf(std::vector<std::string> names) {
  return plainCheck([names = std::move(names)](const std::string& value) -> std::string {
    if (std::find(names.begin(), names.end(), value) != names.end()) return "";
    std::string list;
    for (std::size_t i = 0; i < names.size(); ++i)
      list += (i == 0 ? "" : i + 1 == names.size() ? " or " : ", ") + names[i];
    return "'" + corvale::escapeControlCharacters(value) + "' is not one of the choices: " + list +
           " (in lower case)";
  });
}

// Makes a folder for outputs as `mkdir -p` would; the problem, in words, if there is one.
std::optional<std::string> prepareFolder(const std::filesystem::path& folder, const char* option) {
  const std::string shown = std::string(option) + ": " + corvale::escapeControlCharacters(folder.string());
  std::error_code error;
  const std::filesystem::file_status status = std::filesystem::status(folder, error);
  if (std::filesystem::is_directory(status)) return std::nullopt;
  if (std::filesystem::exists(status)) return shown + " is a file, not a folder";
  std::filesystem::create_directories(folder, error);
  if (error) return shown + ": the folder cannot be created: " + error.message();
  return std::nullopt;
}

// After a parse error: an argument that looks like an option but is none is most
// likely a file whose name starts with a dash.
void hintAtDashedFileNames(const CLI::App& app, int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument == "--") return;
    if (argument.size() < 2 || argument[0] != '-' || std::isdigit(static_cast<unsigned char>(argument[1]))) continue;
    std::string name = argument.substr(0, argument.find('='));
    if (name.rfind("--", 0) != 0) name = name.substr(0, 2);  // -j4
    if (app.get_option_no_throw(name) != nullptr) continue;
    const std::string shown = corvale::escapeControlCharacters(argument);
    std::cerr << "corvale-cli: " << shown << " is not an option; to analyse a file whose name starts with a dash, "
              << "put -- before the file names: corvale-cli [OPTIONS] -- " << shown << "\n";
    return;
  }
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Counts yeast colonies on photographs of Petri dishes.", "corvale-cli"};
  app.set_version_flag("--version", "corvale-cli " + std::string(corvale::programVersion()));

  std::vector<std::string> paths;
  corvale::BatchOptions options;
  std::string format = "text";
  std::string method = "adaptive";
  std::string coloniesPath;
  bool noImages = false;
  const unsigned cpus = corvale::usableCpuCount();
  options.jobs = cpus;

  app.add_option("PATH", paths,
                 "A photograph, or a folder: its *.jpg files (any letter case) except Corvale's own images, "
                 "whose names end in threshold.jpg, centroid.jpg, bb.jpg or a stage name such as 1-dish.jpg. "
                 "Put -- before names that start with a dash.")
      ->required();
  app.add_option("--method", method,
                 "Counting method: adaptive (finds the dish, flattens the agar, picks its own threshold and colony "
                 "size, splits touching colonies) or fixed (threshold 100 on the blue channel, the size range "
                 "--min-area to --max-area)")
      ->type_name("METHOD")
      ->capture_default_str()
      ->check(oneOf({"adaptive", "fixed"}));
  const char* const sizeNote =
      " (fixed method only). Compared as an unsigned 32-bit number: a negative value counts as a very large "
      "one, so --max-area -1 means no upper bound";
  CLI::Option* minArea = app.add_option("--min-area", options.settings.minColonyArea,
                                        std::string("Smallest colony, in pixels") + sizeNote)
                             ->capture_default_str();
  CLI::Option* maxArea = app.add_option("--max-area", options.settings.maxColonyArea,
                                        std::string("Largest colony, in pixels") + sizeNote)
                             ->capture_default_str();
  CLI::Option* lip = app.add_option("--lip", options.settings.dishLip,
                                    "Width of the dish's rim left out, in pixels (fixed method only)")
                         ->capture_default_str();
  app.add_option("--diameter", options.settings.dishDiameterMm, "Real diameter of the dish, in mm (1 to 10000)")
      ->capture_default_str()
      ->check(plainCheck([](const std::string& value) {
        return wholeNumberIn(value, 1, maxDiameterMm, "a whole number of millimetres");
      }));
  app.add_option("--format", format, "Output format: text, csv or json")
      ->type_name("FORMAT")
      ->capture_default_str()
      ->check(oneOf({"text", "csv", "json"}));
  app.add_option("--output-dir", options.outputFolder,
                 "Folder for threshold.jpg, centroid.jpg and bb.jpg (<stem>.threshold.jpg and so on when there "
                 "are several photographs, <stem>-2.threshold.jpg where that name is taken); created if missing")
      ->type_name("FOLDER")
      ->capture_default_str();
  app.add_flag("--no-images", noImages, "Write no images");
  app.add_option("--colonies", coloniesPath, "Also write one CSV row per counted colony to this file")
      ->type_name("FILE");
  std::uint64_t maxMegapixels = options.limits.maxPixels / 1'000'000;
  app.add_option("--max-megapixels", maxMegapixels, "Refuse, before decoding, photographs larger than this many megapixels (1 to 100000)")
      ->capture_default_str()
      ->check(plainCheck([](const std::string& value) {
        return wholeNumberIn(value, 1, maxMegapixelsLimit, "a whole number of megapixels");
      }));
  app.add_option("--debug-images", options.debugFolder,
                 "Adaptive method: write each stage (dish, background, contrast, mask, colonies) to this folder, "
                 "as <stem>.<n>-<stage>.jpg; created if missing")
      ->type_name("FOLDER");
  app.add_option("--corrections", options.correctionsFolder,
                 "Apply the corrections saved by reviews in this folder (the results folder's corrections/)")
      ->type_name("FOLDER")
      ->check(CLI::ExistingDirectory);
  app.add_option("-j,--jobs", options.jobs,
                 "Photographs analysed in parallel (default: the number of CPUs this process may use, here " +
                     std::to_string(cpus) + "; at most " + std::to_string(jobsPerCpu) +
                     " per CPU, and fewer while large photographs would need more than half the memory)")
      ->type_name("N")
      ->check(plainCheck([](const std::string& value) {
        return wholeNumberIn(value, 1, 1'000'000, "a whole number");
      }));
  app.footer(
      "Exit status: 0 when every photograph was analysed, 1 when one or more failed (the others are "
      "still reported), 2 for a usage error.");

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    app.exit(e);
    hintAtDashedFileNames(app, argc, argv);
    return exitUsage;
  }
  options.method = method == "fixed" ? corvale::CountingMethod::fixed : corvale::CountingMethod::adaptive;
  if (options.method != corvale::CountingMethod::fixed) {
    for (const CLI::Option* fixedOnly : {minArea, maxArea, lip}) {
      if (fixedOnly->count() == 0) continue;
      std::cerr << "corvale-cli: " << fixedOnly->get_name() << " is used only by the fixed method; add --method fixed "
                << "(the adaptive method, the default, picks its own colony size and dish edge)\n";
      return exitUsage;
    }
  }
  options.writeImages = !noImages;
  options.limits.maxPixels = maxMegapixels * 1'000'000;
  options.jobs = std::min(options.jobs, jobsPerCpu * cpus);
  options.memoryBudget = corvale::defaultMemoryBudget();
  const Format output = format == "csv" ? Format::csv : format == "json" ? Format::json : Format::text;

  if (options.writeImages) {
    if (const std::optional<std::string> problem = prepareFolder(options.outputFolder, "--output-dir")) {
      std::cerr << "corvale-cli: " << *problem << "\n";
      return exitUsage;
    }
  }
  if (!options.debugFolder.empty()) {
    if (const std::optional<std::string> problem = prepareFolder(options.debugFolder, "--debug-images")) {
      std::cerr << "corvale-cli: " << *problem << "\n";
      return exitUsage;
    }
  }

  std::vector<corvale::BatchItem> items = corvale::collectBatch(paths);
  if (items.empty()) {
    std::cerr << "corvale-cli: no *.jpg photographs found\n";
    return exitSomeFailed;
  }
  corvale::assignOutputNames(items, options);
  if (!coloniesPath.empty() && corvale::isPhotographOfRun(items, coloniesPath)) {
    std::cerr << "corvale-cli: --colonies: " << corvale::escapeControlCharacters(coloniesPath)
              << " is a photograph of this run; choose another file\n";
    return exitUsage;
  }

  std::optional<ColonyFile> colonies;
  if (!coloniesPath.empty()) colonies.emplace(coloniesPath);

  // Photographs are the unit of parallel work; the image library's own threads
  // would only compete with the workers.
  cv::setNumThreads(1);
  corvale::removeTemporaryFilesOnSignals();

  const bool progress = items.size() > 1 && isatty(STDERR_FILENO);
  bool anyFailed = false;
  StandardOutput out;
  if (output == Format::csv) out.write(corvale::summaryCsvHeader());
  if (output == Format::json) out.write("[");

  corvale::runBatch(items, options, [&](std::size_t index, const corvale::DishAnalysis& analysis) {
    const std::string shownPath = corvale::escapeControlCharacters(analysis.imagePath);
    if (!analysis.ok()) {
      anyFailed = true;
      if (output != Format::text)
        std::cerr << "corvale-cli: " << shownPath << ": " << corvale::escapeControlCharacters(*analysis.error) << "\n";
    } else if (analysis.outputError) {
      anyFailed = true;  // the numbers are reported, but the images are missing
      if (output != Format::text)
        std::cerr << "corvale-cli: " << corvale::escapeControlCharacters(*analysis.outputError) << "\n";
    }
    switch (output) {
      case Format::text: {
        corvale::DishAnalysis shown = analysis;
        shown.imagePath = shownPath;
        if (shown.error) shown.error = corvale::escapeControlCharacters(*shown.error);
        if (shown.outputError) shown.outputError = corvale::escapeControlCharacters(*shown.outputError);
        out.write(corvale::formatReport(shown, "\n"));
        break;
      }
      case Format::csv: out.write(corvale::summaryCsvRow(analysis)); break;
      case Format::json: out.write((index == 0 ? "\n" : ",\n") + corvale::dumpJson(corvale::toJson(analysis))); break;
    }
    if (colonies) colonies->add(analysis);
    if (progress) showProgress(index + 1, items.size(), analysis.imagePath);
  });

  if (output == Format::json) out.write("\n]\n");
  if (!out.ok()) {
    std::cerr << "corvale-cli: the results cannot be written to standard output\n";
    return exitSomeFailed;
  }
  if (colonies) {
    if (const std::optional<std::string> problem = colonies->commit(out)) {
      std::cerr << "corvale-cli: " << corvale::escapeControlCharacters(*problem) << "\n";
      return exitSomeFailed;
    }
  }
  return anyFailed ? exitSomeFailed : exitAllAnalysed;
}
