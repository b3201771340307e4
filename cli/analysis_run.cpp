#include "cli/analysis_run.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>

#include <opencv2/core.hpp>

#include "analysis/io/safe_file.hpp"
#include "analysis/report/output_formats.hpp"
#include "analysis/report/printable.hpp"
#include "cli/batch.hpp"
#include "cli/machine.hpp"

namespace corvale {
namespace {

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
  explicit ColonyFile(std::string path) : path_(std::move(path)), rows_(coloniesCsvHeader()) {}
  void add(const DishAnalysis& analysis) { rows_ += coloniesCsvRows(analysis); }
  // Writes the file; the problem, if it cannot be written.
  std::optional<std::string> commit(StandardOutput& out) const {
    if (isStandardOutput(path_)) {  // after the summary, through the same descriptor
      out.write(rows_);
      if (!out.ok()) return path_ + ": cannot be written";
      return std::nullopt;
    }
    try {
      writeFileAtomically(path_, rows_);
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
               escapeControlCharacters(path).c_str());
  if (done == total) std::fputc('\n', stderr);
  std::fflush(stderr);
}

// Makes a folder for outputs as `mkdir -p` would; the problem, in words, if there is one.
std::optional<std::string> prepareFolder(const std::filesystem::path& folder, const char* option) {
  const std::string shown = std::string(option) + ": " + escapeControlCharacters(folder.string());
  std::error_code error;
  const std::filesystem::file_status status = std::filesystem::status(folder, error);
  if (std::filesystem::is_directory(status)) return std::nullopt;
  if (std::filesystem::exists(status)) return shown + " is a file, not a folder";
  std::filesystem::create_directories(folder, error);
  if (error) return shown + ": the folder cannot be created: " + error.message();
  return std::nullopt;
}

}  // namespace

int runCommandLine(const CommandLine& commandLine) {
  const BatchOptions& options = commandLine.options;
  const ReportFormat output = commandLine.format;
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

  std::vector<BatchItem> items = collectBatch(commandLine.paths);
  if (items.empty()) {
    std::cerr << "corvale-cli: no *.jpg photographs found\n";
    return exitSomeFailed;
  }
  assignOutputNames(items, options);
  if (!commandLine.coloniesPath.empty() && isPhotographOfRun(items, commandLine.coloniesPath)) {
    std::cerr << "corvale-cli: --colonies: " << escapeControlCharacters(commandLine.coloniesPath)
              << " is a photograph of this run; choose another file\n";
    return exitUsage;
  }

  std::optional<ColonyFile> colonies;
  if (!commandLine.coloniesPath.empty()) colonies.emplace(commandLine.coloniesPath);

  // Photographs are the unit of parallel work; the image library's own threads
  // would only compete with the workers.
  cv::setNumThreads(1);
  reuseLargeAllocations();
  removeTemporaryFilesOnSignals();

  const bool progress = items.size() > 1 && isatty(STDERR_FILENO);
  bool anyFailed = false;
  StandardOutput out;
  if (output == ReportFormat::csv) out.write(summaryCsvHeader());
  if (output == ReportFormat::json) out.write("[");

  runBatch(items, options, [&](std::size_t index, const DishAnalysis& analysis) {
    const std::string shownPath = escapeControlCharacters(analysis.imagePath);
    if (!analysis.ok()) {
      anyFailed = true;
      if (output != ReportFormat::text)
        std::cerr << "corvale-cli: " << shownPath << ": " << escapeControlCharacters(*analysis.error) << "\n";
    } else if (analysis.outputError) {
      anyFailed = true;  // the numbers are reported, but the images are missing
      if (output != ReportFormat::text)
        std::cerr << "corvale-cli: " << escapeControlCharacters(*analysis.outputError) << "\n";
    }
    switch (output) {
      case ReportFormat::text: {
        DishAnalysis shown = analysis;
        shown.imagePath = shownPath;
        if (shown.error) shown.error = escapeControlCharacters(*shown.error);
        if (shown.outputError) shown.outputError = escapeControlCharacters(*shown.outputError);
        out.write(formatReport(shown, "\n"));
        break;
      }
      case ReportFormat::csv: out.write(summaryCsvRow(analysis)); break;
      case ReportFormat::json: out.write((index == 0 ? "\n" : ",\n") + dumpJson(toJson(analysis))); break;
    }
    if (colonies) colonies->add(analysis);
    if (progress) showProgress(index + 1, items.size(), analysis.imagePath);
  });

  if (output == ReportFormat::json) out.write("\n]\n");
  if (!out.ok()) {
    std::cerr << "corvale-cli: the results cannot be written to standard output\n";
    return exitSomeFailed;
  }
  if (colonies) {
    if (const std::optional<std::string> problem = colonies->commit(out)) {
      std::cerr << "corvale-cli: " << escapeControlCharacters(*problem) << "\n";
      return exitSomeFailed;
    }
  }
  return anyFailed ? exitSomeFailed : exitAllAnalysed;
}

}  // namespace corvale

int corvale_run_command_line(const corvale::CommandLine* commandLine) { return corvale::runCommandLine(*commandLine); }
