#pragma once
// One way of standing out from the agar counted: the contrast thresholded, the count kept
// inside the agar's edge and clear of the wall's thin remains, the mask split into
// regions, and each region judged by its shape and brightness and counted by its hills.

#include <cstdint>
#include <optional>
#include <vector>

#include <opencv2/core.hpp>

#include "analysis/adaptive/dish_ellipse.hpp"
#include "analysis/colony.hpp"

namespace corvale {

// Where the agar's own outline bounds the count, it reaches to this share of the
// outline's axes: the outline may fall just inside a darker edge of the agar.
inline constexpr double outlineOuter = 1.03;
// Pinpoint colonies are counted only on a plate showing at least this many colonies of
// the usual size; as many round colonies make a side's polarity sure.
inline constexpr long pinpointCompany = 3;
// Of the lone colonies' middle contrast: fainter than this at its brightest is no colony,
// fainter in its middle no growth.
inline constexpr double faintShare = 0.5;

// The ellipse counted within: the agar's own outline, or the dish's; and from where
// on, as a share of its axes, the agar's edge is looked for.
struct CountedArea {
  DishEllipse ellipse;
  double edgeFrom = 0.0;  // the agar's edge looked for from this share of the ellipse's axes
  double edgeTo = 1.0;    // to this
  std::optional<DishEllipse> agar;  // the agar's own outline, where it was found
};

// One polarity's count, in the coordinates of the reduced photograph.
struct PolarityCount {
  std::vector<Colony> colonies;
  cv::Mat mask;
  double typicalRadius = 0.0;
  double usableFactor = 1.0;  // of the dish ellipse's axes
  std::int64_t colonyPixels = 0;
  std::int64_t otherPixels = 0;
  std::int64_t usablePixels = 0;  // of the area counted within
  double colonyContrast = 0.0;   // how far its lone colonies stand out, in the middle; 0 when too few
  int roundColonies = 0;      // regions that are one round colony: the plainest evidence of colonies
  int pinpoints = 0;          // colonies below the usual size: weak evidence
  std::uint32_t regions = 0;  // regions counted
  bool confluent = false;
};

// The smallest colony's radius on a dish seen at `scale`: no smaller hill splits a
// region or sets the scale.
double smallestRadius(const DishEllipse& dish, double scale);

// Counts what stands out of `contrast` by more than `threshold`, and what `included`
// sets, but not what `excluded` sets (either of those may be empty).
PolarityCount countPolarity(const cv::Mat& contrast, double threshold, const cv::Mat& excluded, const cv::Mat& included,
                            const CountedArea& area, double scale);

}  // namespace corvale
