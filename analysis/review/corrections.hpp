#pragma once
// A person's corrections to an automatic count, and the count they give. The
// corrections never change the analysis: they say which of its colonies no longer
// count and which colonies the person added.
//
// An automatic colony stops counting when it is removed by hand, when its centre lies
// in an excluded region, or when its centre lies outside the adjusted dish circle.
// Excluding a region or moving the dish therefore re-counts the rest without
// analysing the photograph again: the colonies stay where the analysis found them.
// Added colonies always count; the person placed them on purpose.

#include <optional>
#include <string_view>
#include <vector>

#include <opencv2/core/types.hpp>

namespace corvale {

struct DishAnalysis;

// A circle in pixel coordinates of the photograph.
struct CountedCircle {
  cv::Point2d centre;
  double radius = 0.0;
  bool operator==(const CountedCircle&) const = default;
};

// A colony the analysis missed.
struct AddedColony {
  cv::Point2d centre;
  double radius = 0.0;
  bool operator==(const AddedColony&) const = default;
};

// A region whose colonies do not count: a polygon of three or more corners (a
// rectangle is four).
struct ExcludedRegion {
  std::vector<cv::Point2d> corners;
  bool operator==(const ExcludedRegion&) const = default;
};

ExcludedRegion excludedRectangle(const cv::Rect2d& rectangle);

// A removed automatic colony is kept as its centre: the colony of the analysis whose
// centre lies nearest, within this many pixels, is the one removed. Centres are
// stable for the same photograph, method and settings, while list positions and
// labels are not promised to be.
inline constexpr double removedColonyTolerance = 3.0;

struct Corrections {
  std::vector<cv::Point2d> removed;     // centres of automatic colonies removed by hand
  std::vector<AddedColony> added;
  std::vector<ExcludedRegion> excluded;
  std::optional<CountedCircle> dish;       // the adjusted dish; nothing: as the analysis found it
  bool empty() const { return removed.empty() && added.empty() && excluded.empty() && !dish; }
  bool operator==(const Corrections&) const = default;
};

// What became of one automatic colony.
enum class ColonyStatus {
  counted,
  removed,      // removed by hand
  excluded,     // centre in an excluded region
  outsideDish,  // centre outside the adjusted dish circle
};

std::string_view colonyStatusName(ColonyStatus status);

struct CorrectedCount {
  int automatic = 0;  // the analysis's count
  int removed = 0;    // removed by hand
  int excluded = 0;   // in an excluded region or outside the adjusted dish
  int added = 0;
  int total = 0;      // automatic - removed - excluded + added
  bool operator==(const CorrectedCount&) const = default;
};

// The corrections as applied to one analysis, for the reports.
struct AppliedCorrections {
  CorrectedCount count;
  std::vector<ColonyStatus> statuses;  // one per colony of the analysis
  std::vector<AddedColony> added;
};

// The dish circle the analysis counted in: the adaptive method's usable circle, or
// the fixed method's circle from its dish bounds less the lip. Nothing when the
// analysis found no dish.
std::optional<CountedCircle> automaticDishCircle(const DishAnalysis& analysis);

// The status of every colony of the analysis, in its order. Each removed centre takes
// the nearest colony within the tolerance not already taken; removal by hand wins
// over exclusion.
std::vector<ColonyStatus> colonyStatuses(const DishAnalysis& analysis, const Corrections& corrections);

CorrectedCount countCorrected(const DishAnalysis& analysis, const Corrections& corrections);
AppliedCorrections applyCorrections(const DishAnalysis& analysis, const Corrections& corrections);

// True when the point lies inside the polygon (even-odd rule; points on an edge may
// go either way).
bool insideRegion(const ExcludedRegion& region, cv::Point2d point);

// The colony of the analysis whose mark is at `point`: the nearest centre within the
// colony's radius or `tolerance`, whichever is larger. Nothing when none is.
std::optional<std::size_t> automaticColonyAt(const DishAnalysis& analysis, cv::Point2d point, double tolerance);
std::optional<std::size_t> addedColonyAt(const Corrections& corrections, cv::Point2d point, double tolerance);

// Index into `corrections.removed` of the entry that removes colony `index`, if any.
std::optional<std::size_t> removalOf(const DishAnalysis& analysis, const Corrections& corrections, std::size_t index);

// The radius a colony added with a click gets: the median radius of the analysis's
// colonies, or a fortieth of the dish radius when it has none.
double typicalColonyRadius(const DishAnalysis& analysis);

}  // namespace corvale
