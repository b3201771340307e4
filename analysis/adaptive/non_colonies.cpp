#include "analysis/adaptive/non_colonies.hpp"

#include <cmath>

namespace corvale {
namespace {

constexpr double colonyCoverage = 2.2;     // a region this much larger than its discs is still colonies
constexpr double loneElongation = 2.0;     // a lone colony is round, or an ellipse when seen at an angle: no longer than this
constexpr double confluentDepth = 2.5;     // of the typical radius: deeper thick regions may be confluent growth
constexpr double confluentColonies = 15.0; // and must hold at least this many typical colonies' area
constexpr double confluentSpread = 6.0;    // and be no larger than this many of their widest disc: bands are not

}  // namespace

double discCoverage(const MaskRegion& region, const std::vector<MaskPeak>& peaks) {
  double discs = 0.0;
  for (const int index : region.peaks) {
    const double depth = peaks[static_cast<std::size_t>(index)].depth;
    discs += CV_PI * depth * depth;
  }
  return discs > 0.0 ? static_cast<double>(region.area) / discs : INFINITY;
}

RegionKind judgeRegion(const MaskRegion& region, const std::vector<MaskPeak>& peaks, double typicalRadius, double dustDepth) {
  if (region.deepest < dustDepth || region.peaks.empty()) return RegionKind::other;
  const double coverage = discCoverage(region, peaks);
  if (region.peaks.size() == 1 && region.elongation > loneElongation) return RegionKind::other;
  if (coverage <= colonyCoverage) return RegionKind::colonies;
  const double typicalArea = CV_PI * typicalRadius * typicalRadius;
  if (typicalRadius > 0.0 && region.deepest >= confluentDepth * typicalRadius &&
      static_cast<double>(region.area) >= confluentColonies * typicalArea &&
      static_cast<double>(region.area) <= confluentSpread * CV_PI * region.deepest * region.deepest)
    return RegionKind::confluent;
  return RegionKind::other;
}

}  // namespace corvale
