#pragma once
// The adaptive counting method: the dish found as a circle, the agar's lightness
// flattened away, colonies thresholded on their contrast with a level taken from the
// plate's own noise, and touching colonies split at the peaks of their distance map.

#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "analysis/adaptive/dish_circle.hpp"
#include "analysis/colony.hpp"

namespace corvale {

// The stages as images the user can look at.
struct AdaptiveStages {
  cv::Mat dish;        // the photograph with the dish circle and the part counted
  cv::Mat background;  // the agar's estimated lightness
  cv::Mat contrast;    // how much lighter than the agar each pixel is (scaled for viewing)
  cv::Mat mask;        // the pixels taken as colonies
};

struct AdaptiveCount {
  DishCircle dish;
  double usableRadius = 0.0;       // the dish less its rim, where colonies are counted
  double agarLightness = 0.0;      // median of the background estimate inside the dish
  double noise = 0.0;              // robust spread of the contrast (lightness units)
  double threshold = 0.0;          // contrast above which a pixel is a colony
  double typicalArea = 0.0;        // pixels of a typical single colony on this plate
  std::int64_t colonyPixels = 0;   // pixels of the regions counted
  std::vector<Colony> colonies;    // every colony counted, located or estimated
  std::vector<std::string> flags;  // reasons the count may not be reliable
};

// Counts the colonies of a BGR photograph. `stages`, when given, receives the
// intermediate images.
AdaptiveCount countColoniesAdaptive(const cv::Mat& bgr, AdaptiveStages* stages = nullptr);

}  // namespace corvale
