#pragma once
// Finding the dish as a circle, whether it fills the frame or sits on a bench.

#include <opencv2/core.hpp>

namespace corvale {

struct DishCircle {
  cv::Point2d centre;
  double radius = 0.0;  // the dish's inner edge, in pixels of the photograph
  bool found = false;   // false: no rim was found and the frame's inscribed circle stands in
};

// Looks for the dish's rim on a reduced copy of the photograph (BGR): the strongest
// circle with a radius from 30 % of the frame's short side to 60 % of its long side,
// else from 20 % to 30 % of the short side (a small dish on a bench). When
// none stands out, the circle inscribed in the frame is taken, since a dish that is
// not visible as a circle usually fills the picture.
DishCircle findDishCircle(const cv::Mat& bgr);

// The photograph reduced once for finding the dish, its rim and its agar: the long side
// at most 512 pixels.
struct DishView {
  cv::Mat small;       // BGR
  double scale = 1.0;  // of the photograph
  cv::Size frame;      // the photograph's size
};
DishView dishView(const cv::Mat& bgr);

// findDishCircle on a view already reduced.
DishCircle findDishCircle(const DishView& view);

// `size` times `scale`, at least one pixel either way, so that a long thin picture
// still has a reduced copy.
cv::Size scaledSize(cv::Size size, double scale);

// `source` resized by `scale` both ways; to a single pixel row or column where the
// scale would leave none.
void resizeBy(const cv::Mat& source, cv::Mat& resized, double scale, int interpolation);

}  // namespace corvale
