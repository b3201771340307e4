#pragma once
// The two ways Corvale counts colonies.

#include <optional>
#include <string_view>

namespace corvale {

enum class CountingMethod {
  fixed,     // threshold 100 on the blue channel, colonies within a pixel size range
  adaptive,  // the plate's own dish, agar level, noise and colony scale
};

std::string_view countingMethodName(CountingMethod method);
std::optional<CountingMethod> countingMethodFromName(std::string_view name);

}  // namespace corvale
