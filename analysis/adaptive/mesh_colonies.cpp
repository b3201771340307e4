#include "analysis/adaptive/mesh_colonies.hpp"

#include <algorithm>
#include <cmath>

#include <opencv2/imgproc.hpp>

#include "analysis/adaptive/colony_scale.hpp"
#include "analysis/adaptive/dish_circle.hpp"
#include "analysis/adaptive/disc_morphology.hpp"
#include "analysis/adaptive/non_colonies.hpp"
#include "analysis/adaptive/region_colonies.hpp"
#include "analysis/adaptive/region_splitting.hpp"

namespace corvale {
namespace {

constexpr double strandWidth = 0.004;   // of the dish's diameter: thinner strands between meshes are cut
constexpr double meshCover = 0.5;       // of the dish: light colonies between a network cover at least this
constexpr double meshCoverMost = 0.9;   // and at most this: the meshes of a grid of thin lines cover more
constexpr double largeColony = 0.02;    // radius over the dish's diameter: colonies filling a network's meshes are this large
constexpr double meshRim = 0.03;        // of the dish's diameter: hills this close to the edge are the wall
constexpr double smallestHill = 0.0025; // radius over the dish's diameter: no smaller hill splits a mesh
constexpr double saddleShare = 0.10;    // a hill this far above its saddle is a colony of its own
constexpr double dustShare = 0.25;      // of the typical radius: hills below it are dust
constexpr double seamBlur = 0.3;        // of the typical radius: lightness smoothed over this shows one hill per colony
constexpr double seamShare = 0.02;      // a colony's hill stands this share of its lightness above the seam to its neighbour
constexpr double seamDrop = 4.0;        // and this many lightness units
constexpr double splitDiameter = 600.0; // pixels: the meshes are split on a copy where the usable area is at most this wide

}  // namespace

std::optional<MeshColonies> coloniesInMeshes(const cv::Mat& network, const cv::Mat& usable, const cv::Mat& lightness) {
  MeshColonies count;
  count.mask = usable & ~network;
  const double usablePixels = static_cast<double>(cv::countNonZero(usable));
  const double diameter = 2.0 * std::sqrt(usablePixels / CV_PI);
  const int strand = std::max(1, static_cast<int>(std::lround(strandWidth * diameter)));
  openDisc(count.mask, count.mask, strand);
  // A filter's grid is thin lines, its meshes cover nearly all; agar showing between
  // colonies takes a fair share of the dish.
  const double cover = cv::countNonZero(count.mask) / usablePixels;
  if (cover < meshCover || cover > meshCoverMost) return std::nullopt;
  // The colonies are large, a fiftieth of the usable area's width in radius at least:
  // they are split on a copy where that is at most `splitDiameter` wide, which still
  // shows the smallest of them 12 pixels in radius, at about half the cost on a dish
  // counted 900 pixels across. The cover above is measured on the meshes as given:
  // reducing widens thin lines by the pixel they straddle.
  const double scale = std::min(1.0, splitDiameter / diameter);
  cv::Mat meshes = count.mask, inside = usable, light = lightness;
  if (scale < 1.0) {
    const auto reduced = [scale](const cv::Mat& image) {
      cv::Mat copy;
      resizeBy(image, copy, scale, cv::INTER_AREA);
      return copy;
    };
    meshes = reduced(count.mask) > 127;
    inside = reduced(usable) > 127;
    light = reduced(lightness);
  }
  const double width = scale * diameter;
  const double smallest = std::max(1.5, smallestHill * width);
  const MaskSplit split = splitMask(meshes, smallest, saddleShare);
  count.typicalRadius = typicalColonyRadius(split, smallest);
  if (count.typicalRadius < largeColony * width) return std::nullopt;
  const double dust = std::max(smallest, dustShare * count.typicalRadius);
  // What lies along the usable area's edge is the wall and the bench beyond the agar: a
  // hill counts where the usable area eroded by `rim` is set. That erosion is worked out
  // at the hills alone, each a one-pixel view that OpenCV erodes with the mask around
  // it, not over the whole frame.
  const int rim = std::max(1, static_cast<int>(std::lround(meshRim * width)));
  const cv::Mat disc = cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(2 * rim + 1, 2 * rim + 1));
  cv::Mat eroded;
  const auto inner = [&](cv::Point at) {
    cv::erode(inside(cv::Rect(at, cv::Size(1, 1))), eroded, disc);
    return eroded.at<std::uint8_t>(0, 0) != 0;
  };
  // Touching colonies meet at darker seams: each hill of lightness is a colony.
  cv::Mat height;
  light.convertTo(height, CV_32F);
  cv::GaussianBlur(height, height, cv::Size(), std::max(1.0, seamBlur * count.typicalRadius));
  const MaskSplit shine = splitByHeight(meshes, height, seamShare, seamDrop);
  std::vector<std::vector<cv::Point>> bright(split.regions.size());
  for (const MaskPeak& peak : shine.peaks) {
    const std::int32_t region = split.regionOf.at<std::int32_t>(peak.at);
    if (region > 0 && inner(peak.at)) bright[static_cast<std::size_t>(region - 1)].push_back(peak.at);
  }
  for (std::size_t r = 0; r < split.regions.size(); ++r) {
    const MaskRegion& region = split.regions[r];
    if (judgeRegion(region, split.peaks, count.typicalRadius, dust) == RegionKind::other) continue;
    std::vector<const MaskPeak*> hills;
    for (const int index : region.peaks) {
      const MaskPeak& peak = split.peaks[static_cast<std::size_t>(index)];
      if (peak.depth >= dust && inner(peak.at)) hills.push_back(&peak);
    }
    std::vector<MaskPeak> shining;
    for (const cv::Point& at : bright[r]) shining.push_back({at, static_cast<float>(count.typicalRadius), static_cast<std::int32_t>(r), 0});
    if (shining.size() > hills.size()) {
      hills.clear();
      for (const MaskPeak& peak : shining) hills.push_back(&peak);
    }
    if (hills.empty()) continue;
    const std::uint32_t label = ++count.regions;
    count.colonyPixels += region.area;
    appendRegionColonies(region, hills, label, count.colonies);
  }
  for (Colony& colony : count.colonies) colony = unreduced(colony, scale);
  count.colonyPixels = static_cast<std::int64_t>(static_cast<double>(count.colonyPixels) / (scale * scale));
  count.typicalRadius /= scale;
  return count;
}

}  // namespace corvale
