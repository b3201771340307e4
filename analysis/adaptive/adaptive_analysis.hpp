#pragma once
// The adaptive counting method: the dish found as a circle and fitted as the ellipse
// the camera sees, the agar's lightness estimated around whatever stands out from it,
// colonies lighter or darker than the agar thresholded on their contrast with a level
// taken from the plate's own noise, the plate's colony scale measured before counting,
// and every region split into the colonies its shape shows, while arcs, rings,
// streaks and writing are left out by their shape.

#include <string>
#include <string_view>
#include <vector>

#include <opencv2/core.hpp>

#include "analysis/adaptive/dish_circle.hpp"
#include "analysis/adaptive/dish_ellipse.hpp"
#include "analysis/colony.hpp"

namespace corvale {

// The stages as images the user can look at, at the scale the colonies were found at.
struct AdaptiveStages {
  cv::Mat dish;        // the photograph with the dish outline and the part counted
  cv::Mat background;  // the agar's estimated lightness
  cv::Mat contrast;    // how much the colonies' way each pixel differs from the agar (scaled for viewing)
  cv::Mat mask;        // the pixels taken as colonies
};

enum class ColonyPolarity {
  light,  // colonies lighter than the agar
  dark,   // colonies darker than the agar
  both,   // both kinds on one plate
};

// "light", "dark" or "both".
std::string_view colonyPolarityName(ColonyPolarity polarity);

struct AdaptiveCount {
  DishCircle dish;
  DishEllipse ellipse;             // the dish's outline as seen (the circle where no ellipse fits better)
  double usableRadius = 0.0;       // the dish less its rim, where colonies are counted (along the major axis)
  double usableArea = 0.0;         // pixels of the part of the dish counted
  double agarLightness = 0.0;      // median of the background estimate inside the dish
  double noise = 0.0;              // robust spread of the contrast (lightness units)
  double threshold = 0.0;          // contrast, the colonies' way from the agar, beyond which a pixel is a colony
  double typicalArea = 0.0;        // pixels of a typical single colony on this plate
  double countingScale = 1.0;      // the scale of the photograph the colonies were found at
  ColonyPolarity polarity = ColonyPolarity::light;
  std::string unsuitable;          // why the plate cannot be read, empty when it can
  std::int64_t colonyPixels = 0;   // pixels of the regions counted
  std::vector<Colony> colonies;    // every colony counted, located or estimated
  std::vector<std::string> flags;  // reasons the count may not be reliable
};

// Counts the colonies of a BGR photograph. `stages`, when given, receives the
// intermediate images.
AdaptiveCount countColoniesAdaptive(const cv::Mat& bgr, AdaptiveStages* stages = nullptr);

}  // namespace corvale
