#pragma once
// The plate's colony scale, measured before anything depends on it.

#include "analysis/adaptive/region_splitting.hpp"

namespace corvale {

// The typical colony's radius (distance-map units): the median depth of the regions
// that are one round colony each (one hill whose disc covers the region), or of all
// hills where fewer than five regions are that clean or they hold less than a quarter
// of the mask's area; 0 when nothing reaches `dustDepth`.
double typicalColonyRadius(const MaskSplit& split, double dustDepth);

// The scale to count at, given the typical radius found at `scale`: large enough that
// the typical colony is `wanted` pixels in radius, never above the photograph's own.
double countingScale(double scale, double typicalRadius, double wanted);

}  // namespace corvale
