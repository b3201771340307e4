#include "cli/command_line.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdint>
#include <functional>
#include <iostream>

#include <CLI/CLI.hpp>

#include "analysis/report/printable.hpp"
#include "analysis/version.hpp"
#include "cli/machine.hpp"

namespace corvale {
namespace {

constexpr unsigned jobsPerCpu = 4;        // -j above this many workers per usable CPU only adds memory
constexpr std::uint64_t maxMegapixelsLimit = 100'000;
constexpr std::int64_t maxDiameterMm = 10'000;

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
           escapeControlCharacters(value) + "')";
  }
  return "";
}

CLI::Validator oneOf(std::vector<std::string> names) {
  return plainCheck([names = std::move(names)](const std::string& value) -> std::string {
    if (std::find(names.begin(), names.end(), value) != names.end()) return "";
    std::string list;
    for (std::size_t i = 0; i < names.size(); ++i)
      list += (i == 0 ? "" : i + 1 == names.size() ? " or " : ", ") + names[i];
    return "'" + escapeControlCharacters(value) + "' is not one of the choices: " + list +
           " (in lower case)";
  });
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
    const std::string shown = escapeControlCharacters(argument);
    std::cerr << "corvale-cli: " << shown << " is not an option; to analyse a file whose name starts with a dash, "
              << "put -- before the file names: corvale-cli [OPTIONS] -- " << shown << "\n";
    return;
  }
}

}  // namespace

std::variant<CommandLine, int> readCommandLine(int argc, char** argv) {
  CLI::App app{"Counts yeast colonies on photographs of Petri dishes.", "corvale-cli"};
  app.set_version_flag("--version", "corvale-cli " + std::string(programVersion()));

  std::vector<std::string> paths;
  BatchOptions options;
  std::string format = "text";
  std::string method = "adaptive";
  std::string coloniesPath;
  bool noImages = false;
  const unsigned cpus = usableCpuCount();
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
  options.method = method == "fixed" ? CountingMethod::fixed : CountingMethod::adaptive;
  if (options.method != CountingMethod::fixed) {
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
  options.memoryBudget = defaultMemoryBudget();
  const ReportFormat output = format == "csv"    ? ReportFormat::csv
                              : format == "json" ? ReportFormat::json
                                                 : ReportFormat::text;

  return CommandLine{std::move(paths), std::move(options), output, std::move(coloniesPath)};
}

}  // namespace corvale
