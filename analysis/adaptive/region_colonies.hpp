#pragma once
// The colonies a region of a split mask holds.

#include <cstdint>
#include <vector>

#include "analysis/adaptive/region_splitting.hpp"
#include "analysis/colony.hpp"

namespace corvale {

// Appends the region's colonies to `colonies`: the region itself, where it is one
// lone colony at its centroid when it holds one hill; one split colony at each hill,
// with the area that drained to it, when it holds several. All carry `label` as
// their region.
void appendRegionColonies(const MaskRegion& region, const std::vector<const MaskPeak*>& hills, std::uint32_t label,
                          std::vector<Colony>& colonies);

}  // namespace corvale
