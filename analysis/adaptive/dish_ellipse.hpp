#pragma once
// The dish as the camera sees it: an ellipse when photographed at an angle.

#include <opencv2/core.hpp>

#include "analysis/adaptive/dish_circle.hpp"

namespace corvale {

struct DishEllipse {
  cv::Point2d centre;
  double semiMajor = 0.0;  // pixels
  double semiMinor = 0.0;  // pixels
  double angle = 0.0;      // of the major axis from the x axis, degrees
  bool found = false;      // false: neither a rim nor an outline was found, and the frame's inscribed circle stands in
};

// The dish's outline fitted as an ellipse: along rays from the circle's centre, the
// outermost strong edge, fitted and refitted without the rays that strayed; then the
// same from the fitted centre, near the first fit's outline. Where too few rays find
// an edge or the fit is implausible, the circle itself. Where no circle was found,
// the outline traced from the frame's centre, if any.
DishEllipse fitDishEllipse(const cv::Mat& bgr, const DishCircle& circle);

// fitDishEllipse on a view already reduced.
DishEllipse fitDishEllipse(const DishView& view, const DishCircle& circle);

// How far `at` lies from the ellipse's outline, relative to its size (0 on it).
double ellipseResidual(const cv::RotatedRect& ellipse, cv::Point2f at);

// A mask of `size` set inside the ellipse with both axes multiplied by `factor`,
// in a picture `scale` times the photograph's size.
cv::Mat ellipseMask(cv::Size size, const DishEllipse& dish, double factor, double scale);

// Whether a point of the photograph lies inside the ellipse with axes times `factor`.
bool insideEllipse(const DishEllipse& dish, cv::Point2d at, double factor);

}  // namespace corvale
