#pragma once
#include <cstdint>
#include <optional>

#include "blobs/blob.hpp"

namespace corvale {

struct ColonyStatistics {
  double percentage = 0.0;           // share of the dish covered by colonies
  double colonyAreaMm2 = 0.0;        // total colony area
  double medianColonyAreaMm2 = 0.0;  // area of the median colony
  std::int32_t estimatedYeasts = 0;  // total area over the area of a typical colony
  std::int32_t colonyCount = 0;
};

// The dish's area in pixels: an ellipse inscribed in the dish bounds, both axes
// reduced by a hundredth of the width. Not positive for a degenerate dish.
double dishAreaPixels(std::int32_t dishWidth, std::int32_t dishHeight);

// The statistics of the colonies in `blobs` on a dish of the given real diameter
// and pixel size. The typical colony is the one at 60 % of the median's index in
// the sorted areas. No colony gives all zeros; a dish without positive area gives
// only the count (the analysis refuses such a dish before it gets here).
ColonyStatistics computeColonyStatistics(const BlobTable& blobs, std::int32_t dishDiameterMm,
                                         std::int32_t dishWidth, std::int32_t dishHeight);

}  // namespace corvale
