#pragma once
// Where the agar lies inside the dish.

#include <optional>

#include <opencv2/core.hpp>

#include "analysis/adaptive/dish_ellipse.hpp"

namespace corvale {

// The agar's outline as an ellipse: the agar-coloured part of the photograph that is
// connected to the dish's middle, its holes (colonies, writing, glare) filled and its
// notches (colonies against the wall) bridged, fitted with an ellipse. The meniscus
// and the wall part the agar from the bench, so this holds where the dish runs out
// of the frame and where the rim found for the dish is off. Nothing when the agar
// does not stand apart from its surroundings that clearly (it runs into the bench,
// or colonies cover most of it).
std::optional<DishEllipse> findAgarOutline(const cv::Mat& bgr, const DishEllipse& dish);

// findAgarOutline on a view already reduced.
std::optional<DishEllipse> findAgarOutline(const DishView& view, const DishEllipse& dish);

}  // namespace corvale
