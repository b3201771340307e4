#include "analysis/dish_circle.hpp"

#include <algorithm>
#include <vector>

#include <opencv2/imgproc.hpp>

namespace corvale {

DishCircle findDishCircle(const cv::Mat& bgr) {
  const double scale = 512.0 / std::max(bgr.cols, bgr.rows);
  cv::Mat small, grey;
  cv::resize(bgr, small, cv::Size(), scale, scale, cv::INTER_AREA);
  cv::cvtColor(small, grey, cv::COLOR_BGR2GRAY);
  cv::GaussianBlur(grey, grey, cv::Size(5, 5), 1.5);

  const int shortSide = std::min(grey.cols, grey.rows);
  const int longSide = std::max(grey.cols, grey.rows);
  // Candidates from 30 % of the short side (a small dish on a bench) to 60 % of the
  // long side (a dish overflowing the frame); the one with the most votes wins.
  std::vector<cv::Vec4f> circles;  // x, y, radius, votes
  cv::HoughCircles(grey, circles, cv::HOUGH_GRADIENT, 1.0, 5.0, 80.0, 40.0, shortSide * 3 / 10, longSide * 6 / 10);

  DishCircle dish;
  dish.centre = cv::Point2d(bgr.cols / 2.0, bgr.rows / 2.0);
  dish.radius = std::min(bgr.cols, bgr.rows) / 2.0;
  if (!circles.empty()) {
    const cv::Vec4f& best = circles.front();
    dish.centre = cv::Point2d(best[0] / scale, best[1] / scale);
    dish.radius = best[2] / scale;
    dish.found = true;
  }
  return dish;
}

}  // namespace corvale
