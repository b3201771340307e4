#include "analysis/adaptive/colony_scale.hpp"

#include <algorithm>

#include "analysis/adaptive/non_colonies.hpp"

namespace corvale {
namespace {

constexpr double cleanCoverage = 1.6;  // one hill covering the region this well: a lone round colony

double median(std::vector<double>& values) {
  std::nth_element(values.begin(), values.begin() + static_cast<long>(values.size() / 2), values.end());
  return values[values.size() / 2];
}

}  // namespace

double typicalColonyRadius(const MaskSplit& split, double dustDepth) {
  std::vector<double> lone, all;
  for (const MaskRegion& region : split.regions) {
    if (region.deepest < dustDepth) continue;
    if (region.peaks.size() == 1 && discCoverage(region, split.peaks) <= cleanCoverage) lone.push_back(region.deepest);
    for (const int index : region.peaks) all.push_back(split.peaks[static_cast<std::size_t>(index)].depth);
  }
  if (lone.size() >= 5) return median(lone);
  return all.empty() ? 0.0 : median(all);
}

double countingScale(double scale, double typicalRadius, double wanted) {
  if (typicalRadius <= 0.0 || typicalRadius >= wanted) return scale;
  return std::min(1.0, scale * wanted / typicalRadius);
}

}  // namespace corvale
