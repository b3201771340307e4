#include "analysis/adaptive/colony_scale.hpp"

#include <algorithm>
#include <cstdint>

#include "analysis/adaptive/non_colonies.hpp"

namespace corvale {
namespace {

constexpr double cleanCoverage = 1.6;  // one hill covering the region this well: a lone round colony
constexpr double loneShare = 4.0;      // lone colonies set the scale when they hold at least a quarter of the mask's area

double median(std::vector<double>& values) {
  std::nth_element(values.begin(), values.begin() + static_cast<long>(values.size() / 2), values.end());
  return values[values.size() / 2];
}

}  // namespace

double typicalColonyRadius(const MaskSplit& split, double dustDepth) {
  std::vector<double> lone, all;
  std::int64_t loneArea = 0, area = 0;
  for (const MaskRegion& region : split.regions) {
    if (region.deepest < dustDepth) continue;
    area += region.area;
    if (region.peaks.size() == 1 && discCoverage(region, split.peaks) <= cleanCoverage)
      lone.push_back(region.deepest), loneArea += region.area;
    for (const int index : region.peaks) all.push_back(split.peaks[static_cast<std::size_t>(index)].depth);
  }
  // Lone colonies are the plainest measure of size, but only when they are a fair part
  // of what stands out: on a dense plate or beside large touching colonies the lone
  // regions are mostly specks, and every hill tells the size better.
  if (lone.size() >= 5 && static_cast<double>(loneArea) * loneShare >= static_cast<double>(area)) return median(lone);
  return all.empty() ? 0.0 : median(all);
}

double countingScale(double scale, double typicalRadius, double wanted) {
  if (typicalRadius <= 0.0 || typicalRadius >= wanted) return scale;
  return std::min(1.0, scale * wanted / typicalRadius);
}

}  // namespace corvale
