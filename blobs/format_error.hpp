#pragma once
// An image handed to a blob operation in a format it cannot work on.

#include <iostream>
#include <stdexcept>

namespace corvale {

struct ImageFormatError : std::invalid_argument {
  using std::invalid_argument::invalid_argument;
};

// Writes the operation's one-line message to standard error, as callers and users
// have always seen it, then raises it so that nobody carries on with a result
// that was never computed.
[[noreturn]] inline void raiseFormatError(const char* message) {
  std::cerr << message << std::endl;
  throw ImageFormatError(message);
}

}  // namespace corvale
