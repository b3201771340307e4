#include "analysis/review/corrections.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

#include "analysis/dish_analysis.hpp"

namespace corvale {
namespace {

double distance(cv::Point2d a, cv::Point2d b) { return std::hypot(a.x - b.x, a.y - b.y); }

// Index of the colony nearest `point` within its own reach (`reach(i)`), if any.
template <typename Reach>
std::optional<std::size_t> nearestWithin(std::size_t count, cv::Point2d point, auto centreOf, Reach reach) {
  std::optional<std::size_t> best;
  double bestDistance = std::numeric_limits<double>::infinity();
  for (std::size_t i = 0; i < count; ++i) {
    const double d = distance(centreOf(i), point);
    if (d <= reach(i) && d < bestDistance) {
      best = i;
      bestDistance = d;
    }
  }
  return best;
}

// For every removed centre, the colony it removes (or nothing when it matches none).
std::vector<std::optional<std::size_t>> matchRemovals(const DishAnalysis& analysis, const Corrections& corrections) {
  std::vector<bool> taken(analysis.colonies.size(), false);
  std::vector<std::optional<std::size_t>> matches;
  for (const cv::Point2d& centre : corrections.removed) {
    const auto match = nearestWithin(
        analysis.colonies.size(), centre, [&](std::size_t i) { return analysis.colonies[i].centre; },
        [&](std::size_t i) { return taken[i] ? -1.0 : removedColonyTolerance; });
    if (match) taken[*match] = true;
    matches.push_back(match);
  }
  return matches;
}

}  // namespace

ExcludedRegion excludedRectangle(const cv::Rect2d& r) {
  return {{{r.x, r.y}, {r.x + r.width, r.y}, {r.x + r.width, r.y + r.height}, {r.x, r.y + r.height}}};
}

std::string_view colonyStatusName(ColonyStatus status) {
  switch (status) {
    case ColonyStatus::counted: return "";
    case ColonyStatus::removed: return "removed";
    case ColonyStatus::excluded: return "excluded";
    case ColonyStatus::outsideDish: return "outside dish";
  }
  throw std::invalid_argument("unknown colony status");
}

std::optional<CountedCircle> automaticDishCircle(const DishAnalysis& analysis) {
  if (const auto& a = analysis.adaptive) return CountedCircle{a->dishCentre, a->usableRadius};
  if (const auto& b = analysis.dishBounds) {
    // The circle the fixed method keeps colonies in (see dish_filter.hpp).
    const double width = static_cast<double>(b->right) - b->left;
    const double height = static_cast<double>(b->bottom) - b->top;
    const double radius = std::floor((width + height) / 4.0) - analysis.settings.dishLip;
    return CountedCircle{{b->left + std::floor(width / 2.0), b->top + std::floor(height / 2.0)}, std::max(0.0, radius)};
  }
  return std::nullopt;
}

bool insideRegion(const ExcludedRegion& region, cv::Point2d point) {
  const std::vector<cv::Point2d>& c = region.corners;
  bool inside = false;
  for (std::size_t i = 0, j = c.size() - 1; i < c.size(); j = i++) {
    if ((c[i].y > point.y) != (c[j].y > point.y) &&
        point.x < (c[j].x - c[i].x) * (point.y - c[i].y) / (c[j].y - c[i].y) + c[i].x)
      inside = !inside;
  }
  return c.size() >= 3 && inside;
}

std::vector<ColonyStatus> colonyStatuses(const DishAnalysis& analysis, const Corrections& corrections) {
  std::vector<ColonyStatus> statuses(analysis.colonies.size(), ColonyStatus::counted);
  for (const auto& match : matchRemovals(analysis, corrections))
    if (match) statuses[*match] = ColonyStatus::removed;
  for (std::size_t i = 0; i < statuses.size(); ++i) {
    if (statuses[i] != ColonyStatus::counted) continue;
    const cv::Point2d centre = analysis.colonies[i].centre;
    if (std::any_of(corrections.excluded.begin(), corrections.excluded.end(),
                    [&](const ExcludedRegion& region) { return insideRegion(region, centre); }))
      statuses[i] = ColonyStatus::excluded;
    else if (corrections.dish && distance(centre, corrections.dish->centre) > corrections.dish->radius)
      statuses[i] = ColonyStatus::outsideDish;
  }
  return statuses;
}

CorrectedCount countCorrected(const DishAnalysis& analysis, const Corrections& corrections) {
  return applyCorrections(analysis, corrections).count;
}

AppliedCorrections applyCorrections(const DishAnalysis& analysis, const Corrections& corrections) {
  AppliedCorrections applied{{}, colonyStatuses(analysis, corrections), corrections.added};
  CorrectedCount& count = applied.count;
  count.automatic = static_cast<int>(analysis.colonies.size());
  for (const ColonyStatus status : applied.statuses) {
    count.removed += status == ColonyStatus::removed;
    count.excluded += status == ColonyStatus::excluded || status == ColonyStatus::outsideDish;
  }
  count.added = static_cast<int>(corrections.added.size());
  count.total = count.automatic - count.removed - count.excluded + count.added;
  return applied;
}

std::optional<std::size_t> automaticColonyAt(const DishAnalysis& analysis, cv::Point2d point, double tolerance) {
  return nearestWithin(
      analysis.colonies.size(), point, [&](std::size_t i) { return analysis.colonies[i].centre; },
      [&](std::size_t i) { return std::max(analysis.colonies[i].radius, tolerance); });
}

std::optional<std::size_t> addedColonyAt(const Corrections& corrections, cv::Point2d point, double tolerance) {
  return nearestWithin(
      corrections.added.size(), point, [&](std::size_t i) { return corrections.added[i].centre; },
      [&](std::size_t i) { return std::max(corrections.added[i].radius, tolerance); });
}

std::optional<std::size_t> removalOf(const DishAnalysis& analysis, const Corrections& corrections, std::size_t index) {
  const auto matches = matchRemovals(analysis, corrections);
  for (std::size_t i = 0; i < matches.size(); ++i)
    if (matches[i] == index) return i;
  return std::nullopt;
}

double typicalColonyRadius(const DishAnalysis& analysis) {
  std::vector<double> radii;
  for (const Colony& colony : analysis.colonies)
    if (colony.kind != ColonyKind::estimated) radii.push_back(colony.radius);
  if (!radii.empty()) {
    std::nth_element(radii.begin(), radii.begin() + static_cast<std::ptrdiff_t>(radii.size() / 2), radii.end());
    return radii[radii.size() / 2];
  }
  const auto dish = automaticDishCircle(analysis);
  return dish && dish->radius > 0 ? dish->radius / 40.0 : 10.0;
}

}  // namespace corvale
