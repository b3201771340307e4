#pragma once
// corvale-cli's command line, read without the image libraries: --help, --version and
// usage errors are answered before anything heavy is loaded.

#include <string>
#include <variant>
#include <vector>


#include "cli/batch_options.hpp"

namespace corvale {

constexpr int exitAllAnalysed = 0;
constexpr int exitSomeFailed = 1;
constexpr int exitUsage = 2;

enum class ReportFormat { text, csv, json };

// A run to do: what to analyse, how, and where the results go.
struct CommandLine {
  std::vector<std::string> paths;
  BatchOptions options;
  ReportFormat format = ReportFormat::text;
  std::string coloniesPath;  // empty: no per-colony file
};

// Reads the arguments. Returns the run to do, or, when the help, the version or a
// usage error has been printed, the exit status to end with.
std::variant<CommandLine, int> readCommandLine(int argc, char** argv);

}  // namespace corvale
