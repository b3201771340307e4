#pragma once
#include <cstdint>

namespace corvale {

// The four options of an analysis, as the user enters them. No range is enforced
// here. The colony size bounds are compared with areas as unsigned 32-bit numbers,
// as the dialog's stored settings always were: a negative bound stands for a very
// large one (a maximum of -1 means no upper bound, a negative minimum counts
// nothing), and a minimum above the maximum counts nothing.
struct AnalysisSettings {
  std::int32_t minColonyArea = 400;   // pixels
  std::int32_t maxColonyArea = 3000;  // pixels
  std::int32_t dishLip = 5;           // pixels of rim excluded inside the dish edge
  std::int32_t dishDiameterMm = 100;  // the dish's real diameter
};

}  // namespace corvale
