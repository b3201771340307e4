#pragma once
// Colonies that cover most of the dish, counted from the agar showing between them.

#include <cstdint>
#include <optional>
#include <vector>

#include <opencv2/core.hpp>

#include "analysis/colony.hpp"

namespace corvale {

struct MeshColonies {
  std::vector<Colony> colonies;  // in the masks' coordinates
  cv::Mat mask;                  // the meshes counted
  double typicalRadius = 0.0;    // distance-map units
  std::int64_t colonyPixels = 0;
  std::uint32_t regions = 0;
};

// Where what is darker than the agar is a network rather than colonies, light colonies
// may fill its meshes: `usable` (CV_8UC1) less `network`, its thin strands cut, each
// mesh split where its outline narrows, or at the darker seams between touching
// colonies (one colony per hill of `lightness`, CV_8UC1). Only when the meshes cover
// from half to nine tenths of the usable area and their typical colony is at least 2 %
// of its diameter in radius: a filter's grid of thin lines leaves meshes over nearly
// all of it, and those are no colonies. Nothing otherwise.
std::optional<MeshColonies> coloniesInMeshes(const cv::Mat& network, const cv::Mat& usable, const cv::Mat& lightness);

}  // namespace corvale
