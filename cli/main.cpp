// corvale-cli: counts the colonies on photographs of Petri dishes, headless.
//
// The program is two halves. This one reads the command line and links nothing but
// the C++ library, so that --help, --version and usage errors answer at once; the
// analysis, with the image and crypto libraries it needs (whose loading alone costs
// more than a help page should), is a module loaded only when there is work.

#include <dlfcn.h>
#include <unistd.h>

#include <filesystem>
#include <iostream>
#include <system_error>
#include <variant>

#include "cli/command_line.hpp"

namespace {

// The module beside the executable (the build tree), else where installation puts it.
std::filesystem::path analysisModule() {
  std::error_code error;
  const std::filesystem::path folder = std::filesystem::read_symlink("/proc/self/exe", error).parent_path();
  const std::filesystem::path beside = folder / CORVALE_ANALYSIS_MODULE;
  if (error || std::filesystem::exists(beside)) return beside;
  return folder / CORVALE_INSTALLED_MODULE_FOLDER / CORVALE_ANALYSIS_MODULE;
}

}  // namespace

int main(int argc, char** argv) {
  std::variant<corvale::CommandLine, int> commandLine = corvale::readCommandLine(argc, argv);
  if (const int* status = std::get_if<int>(&commandLine)) return *status;

  const std::filesystem::path module = analysisModule();
  void* handle = ::dlopen(module.c_str(), RTLD_NOW | RTLD_LOCAL);
  using Run = int (*)(const corvale::CommandLine*);
  const auto run = handle != nullptr ? reinterpret_cast<Run>(::dlsym(handle, "corvale_run_command_line")) : nullptr;
  if (run == nullptr) {
    std::cerr << "corvale-cli: the analysis cannot be loaded: " << ::dlerror() << "\n";
    return corvale::exitSomeFailed;
  }
  return run(&std::get<corvale::CommandLine>(commandLine));
}
