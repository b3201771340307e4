#pragma once
// Colonies that a reflection nearly hides.

#include <cstdint>
#include <vector>

#include <opencv2/core.hpp>

#include "analysis/colony.hpp"

namespace corvale {

// Where the camera saturated on a reflection of the lid or the light, a colony under
// it still shows: its dome scatters the light and stands darker than the reflection
// around it. Near `glare` (CV_8UC1), inside `usable` and away from what `counted`
// already holds, what stands `contrast` below the lightness closed over a colony's
// width is looked at, its shaded crescents closed into discs; each part shaped like
// colonies (thick enough, covered by its hills' discs) gives a colony for each hill. `lightness` is CV_8UC1; the colonies are
// in its coordinates, their regions numbered from `firstRegion`.
std::vector<Colony> coloniesInGlare(const cv::Mat& lightness, const cv::Mat& glare, const cv::Mat& usable,
                                    const cv::Mat& counted, double typicalRadius, double contrast, std::uint32_t firstRegion);

}  // namespace corvale
