// corvale-cli: counts the colonies on photographs of Petri dishes, headless.

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <CLI/CLI.hpp>
#include <opencv2/core.hpp>

#include "cli/batch.hpp"
#include "analysis/report/output_formats.hpp"
#include "analysis/io/safe_file.hpp"
#include "analysis/version.hpp"

namespace {

enum class Format { text, csv, json };

constexpr int exitAllAnalysed = 0;
constexpr int exitSomeFailed = 1;
constexpr int exitUsage = 2;

// The per-colony CSV, gathered in memory and written whole at the end.
class ColonyFile {
 public:
  explicit ColonyFile(std::filesystem::path path) : path_(std::move(path)), rows_(corvale::coloniesCsvHeader()) {}
  void add(const corvale::DishAnalysis& analysis) { rows_ += corvale::coloniesCsvRows(analysis); }
  // Writes the file; the problem, if it cannot be written.
  std::optional<std::string> commit() const {
    try {
      corvale::writeFileAtomically(path_, rows_);
    } catch (const std::runtime_error& error) {
      return error.what();
    }
    return std::nullopt;
  }

 private:
  std::filesystem::path path_;
  std::string rows_;
};

// "Analysed 3 of 20: plate.jpg" on one terminal line, redrawn in place.
void showProgress(std::size_t done, std::size_t total, const std::string& path) {
  std::fprintf(stderr, "\r\033[KAnalysed %zu of %zu: %s", done, total, path.c_str());
  if (done == total) std::fputc('\n', stderr);
  std::fflush(stderr);
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Counts yeast colonies on photographs of Petri dishes.", "corvale-cli"};
  app.set_version_flag("--version", "corvale-cli " + std::string(corvale::programVersion()));

  std::vector<std::string> paths;
  corvale::BatchOptions options;
  Format format = Format::text;
  std::string coloniesPath;
  bool noImages = false;
  options.jobs = std::max(1u, std::thread::hardware_concurrency());

  app.add_option("PATH", paths, "A photograph, or a folder: its *.jpg files (any letter case)")->required();
  app.add_option("--min-area", options.settings.minColonyArea, "Smallest colony, in pixels")
      ->capture_default_str();
  app.add_option("--max-area", options.settings.maxColonyArea, "Largest colony, in pixels")->capture_default_str();
  app.add_option("--lip", options.settings.dishLip, "Width of the dish's rim left out, in pixels")
      ->capture_default_str();
  app.add_option("--diameter", options.settings.dishDiameterMm, "Real diameter of the dish, in mm")
      ->capture_default_str();
  app.add_option("--format", format, "Output format: text, csv or json")
      ->transform(CLI::CheckedTransformer(
          std::map<std::string, Format>{{"text", Format::text}, {"csv", Format::csv}, {"json", Format::json}}))
      ->default_str("text");
  app.add_option("--output-dir", options.outputFolder,
                 "Folder for threshold.jpg, centroid.jpg and bb.jpg (<stem>.threshold.jpg and so on "
                 "when there are several photographs)")
      ->capture_default_str();
  app.add_flag("--no-images", noImages, "Write no images");
  app.add_option("--colonies", coloniesPath, "Also write one CSV row per counted colony to this file");
  std::uint64_t maxMegapixels = options.limits.maxPixels / 1'000'000;
  app.add_option("--max-megapixels", maxMegapixels,
                 "Refuse, before decoding, photographs larger than this many megapixels")
      ->capture_default_str()
      ->check(CLI::PositiveNumber);
  app.add_option("--method", options.method,
                 "Counting method: fixed (threshold 100 on the blue channel, the size range above) or "
                 "adaptive (finds the dish, flattens the agar, picks its own threshold and colony size, "
                 "splits touching colonies)")
      ->transform(CLI::CheckedTransformer(std::map<std::string, corvale::CountingMethod>{
          {"fixed", corvale::CountingMethod::fixed}, {"adaptive", corvale::CountingMethod::adaptive}}))
      ->default_str("fixed");
  app.add_option("--debug-images", options.debugFolder,
                 "Adaptive method: write each stage (dish, background, contrast, mask, colonies) here")
      ->check(CLI::ExistingDirectory);
  app.add_option("--corrections", options.correctionsFolder,
                 "Apply the corrections saved by reviews in this folder (the results folder's corrections/)")
      ->check(CLI::ExistingDirectory);
  app.add_option("-j,--jobs", options.jobs, "Photographs analysed in parallel (default: all cores)")
      ->check(CLI::PositiveNumber);
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
    return exitUsage;
  }
  options.writeImages = !noImages;
  options.limits.maxPixels = maxMegapixels * 1'000'000;

  std::error_code error;
  if (options.writeImages && !std::filesystem::is_directory(options.outputFolder, error)) {
    std::cerr << "corvale-cli: output folder " << options.outputFolder.string() << " does not exist\n";
    return exitUsage;
  }

  const std::vector<corvale::BatchItem> items = corvale::collectBatch(paths);
  if (items.empty()) {
    std::cerr << "corvale-cli: no *.jpg photographs found\n";
    return exitSomeFailed;
  }

  std::optional<ColonyFile> colonies;
  if (!coloniesPath.empty()) {
    colonies.emplace(coloniesPath);
  }

  // Photographs are the unit of parallel work; the image library's own threads
  // would only compete with the workers.
  cv::setNumThreads(1);

  const bool progress = items.size() > 1 && isatty(STDERR_FILENO);
  bool anyFailed = false;
  std::ostream& out = std::cout;
  if (format == Format::csv) out << corvale::summaryCsvHeader();
  if (format == Format::json) out << "[";

  corvale::runBatch(items, options, [&](std::size_t index, const corvale::DishAnalysis& analysis) {
    if (!analysis.ok()) {
      anyFailed = true;
      if (format != Format::text) std::cerr << "corvale-cli: " << analysis.imagePath << ": " << *analysis.error << "\n";
    } else if (analysis.outputError) {
      anyFailed = true;  // the numbers are reported, but the images are missing
      if (format != Format::text) std::cerr << "corvale-cli: " << *analysis.outputError << "\n";
    }
    switch (format) {
      case Format::text: out << corvale::formatReport(analysis, "\n"); break;
      case Format::csv: out << corvale::summaryCsvRow(analysis); break;
      case Format::json: out << (index == 0 ? "\n" : ",\n") << corvale::dumpJson(corvale::toJson(analysis)); break;
    }
    if (colonies) colonies->add(analysis);
    if (progress) showProgress(index + 1, items.size(), analysis.imagePath);
  });

  if (format == Format::json) out << "\n]\n";
  out.flush();
  if (!out) {
    std::cerr << "corvale-cli: the results cannot be written to standard output\n";
    return exitSomeFailed;
  }
  if (colonies) {
    if (const std::optional<std::string> problem = colonies->commit()) {
      std::cerr << "corvale-cli: " << *problem << "\n";
      return exitSomeFailed;
    }
  }
  return anyFailed ? exitSomeFailed : exitAllAnalysed;
}
