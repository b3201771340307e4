#pragma once
#include <cstdint>

namespace corvale {

// The four options of an analysis, as the user enters them. No range is enforced:
// a negative or reversed colony size range simply counts nothing.
struct AnalysisSettings {
  std::int32_t minColonyArea = 400;   // pixels
  std::int32_t maxColonyArea = 3000;  // pixels
  std::int32_t dishLip = 5;           // pixels of rim excluded inside the dish edge
  std::int32_t dishDiameterMm = 100;  // the dish's real diameter
};

}  // namespace corvale
