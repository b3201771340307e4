#pragma once
#include <cstdint>

namespace corvale {

// What a photograph may cost before it is decoded.
struct PhotographLimits {
  std::uint64_t maxPixels = 100'000'000;
  std::uint64_t maxFileBytes = std::uint64_t{1} << 30;
};

}  // namespace corvale
