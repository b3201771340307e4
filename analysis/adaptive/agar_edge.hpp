#pragma once
// Where the agar ends inside the dish, found on the mask of what stands out: the
// meniscus, the wall and the lid's reflections show there as a ring all the way round.
// And what lies across that edge and well beyond it, such as a label stuck over the dish.

#include <opencv2/core.hpp>

#include "analysis/adaptive/dish_ellipse.hpp"

namespace corvale {

// Where the agar ends, looked for from `from` to `to` of the ellipse's axes, as a factor
// of them. Colonies cover only part of any ring: walking outwards, the agar ends at the
// first ellipse that the mask covers for clearly more than the colonies cover of the
// dish's middle, and at least half its length, for some width (the dish's own outline
// when none does).
double agarEdge(const cv::Mat& mask, const DishEllipse& dish, double from, double to, double scale);

// What lies across the agar's edge and reaches well beyond it (a label stuck over the
// dish) is no colony on either side of the edge: the patches of `mask` near the dish
// with more of their area outside `usable` (an ellipse) than a disc of `labelReach` of
// the dish's diameter in radius. Colonies against the wall reach out less; the wall's
// ring, which runs all round, spans more of the dish than a label does. Empty where
// there is none.
cv::Mat overTheEdge(const cv::Mat& mask, const cv::Mat& usable, const DishEllipse& dish, double scale);

}  // namespace corvale
