#pragma once
// Telling colonies from what else stands out from the agar, by shape: a colony, or a
// clump of them, is covered by the discs of its hills; arcs, crescents, rings, streaks
// and writing are long and thin, so their widest discs cover little of them.

#include "analysis/adaptive/region_splitting.hpp"

namespace corvale {

enum class RegionKind {
  colonies,   // one colony, or touching colonies each located by its hill
  confluent,  // grown together beyond locating: counted by area
  other,      // not colonies: reflections, rings, writing, streaks, dust
};

// The region's area over the area of its hills' discs: about 1 for a colony, a
// little more for clumps and ragged colonies, far more for thin shapes.
double discCoverage(const MaskRegion& region, const std::vector<MaskPeak>& peaks);

// What a region is, on a plate whose typical colony has `typicalRadius` (distance-map
// units) and where hills below `dustDepth` are dust.
RegionKind judgeRegion(const MaskRegion& region, const std::vector<MaskPeak>& peaks, double typicalRadius, double dustDepth);

}  // namespace corvale
