#include "analysis/adaptive/colony_scale.hpp"

#include <algorithm>

#include "analysis/adaptive/non_colonies.hpp"

namespace corvale {
namespace {

constexpr double cleanCoverage = 1.6;  // one hill covering the region this well: a lone round colony

// The radius that half the colonies' area lies below: dust and specks, however many,
// hold little area, so they cannot pull the colony scale down to theirs.
double areaMedian(std::vector<double>& radii) {
  std::sort(radii.begin(), radii.end());
  double total = 0.0;
  for (const double r : radii) total += r * r;
  double seen = 0.0;
  for (const double r : radii) {
    seen += r * r;
    if (2.0 * seen >= total) return r;
  }
  return radii.back();
}

}  // namespace

double typicalColonyRadius(const MaskSplit& split, double dustDepth) {
  std::vector<double> lone, all;
  for (const MaskRegion& region : split.regions) {
    if (region.deepest < dustDepth) continue;
    if (region.peaks.size() == 1 && discCoverage(region, split.peaks) <= cleanCoverage) lone.push_back(region.deepest);
    for (const int index : region.peaks) all.push_back(split.peaks[static_cast<std::size_t>(index)].depth);
  }
  if (lone.size() >= 5) return areaMedian(lone);
  return all.empty() ? 0.0 : areaMedian(all);
}

double countingScale(double scale, double typicalRadius, double wanted) {
  if (typicalRadius <= 0.0 || typicalRadius >= wanted) return scale;
  return std::min(1.0, scale * wanted / typicalRadius);
}

}  // namespace corvale
