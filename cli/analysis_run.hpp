#pragma once
// The analysis half of corvale-cli: built as a module of its own, which the command
// line loads only when there is something to analyse.

#include "cli/command_line.hpp"

namespace corvale {

// Analyses the command line's photographs, prints the results and writes the files
// asked for; returns the exit status.
int runCommandLine(const CommandLine& commandLine);

}  // namespace corvale

// The module's one entry point, looked up by name.
extern "C" __attribute__((visibility("default"))) int corvale_run_command_line(const corvale::CommandLine* commandLine);
