#pragma once
#include <string_view>

namespace corvale {

// The program's version, followed by the git commit it was built from when it was
// built from a checkout: "0.2.0" or "0.2.0+3f9c2a1b7e04".
std::string_view programVersion();

}  // namespace corvale
