#include "analysis/adaptive/dish_circle.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cmath>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "analysis/adaptive/area_reduction.hpp"
#include "analysis/adaptive/circle_hough.hpp"

namespace corvale {

cv::Size scaledSize(cv::Size size, double scale) {
  return {std::max(1, static_cast<int>(std::lround(size.width * scale))), std::max(1, static_cast<int>(std::lround(size.height * scale)))};
}

void resizeBy(const cv::Mat& source, cv::Mat& resized, double scale, int interpolation) {
  const cv::Size size(cvRound(source.cols * scale), cvRound(source.rows * scale));
  if (size.width >= 1 && size.height >= 1) {
    if (interpolation == cv::INTER_AREA) reduceByArea(source, resized, size, scale, scale);
    else cv::resize(source, resized, cv::Size(), scale, scale, interpolation);
  } else {
    const cv::Size least = scaledSize(source.size(), scale);
    if (interpolation == cv::INTER_AREA)
      reduceByArea(source, resized, least, static_cast<double>(least.width) / source.cols,
                   static_cast<double>(least.height) / source.rows);
    else cv::resize(source, resized, least, 0, 0, interpolation);
  }
}

namespace {

constexpr double stretchTail = 0.01;  // of the pixels at either end, left out of the range stretched
constexpr int narrowRange = 160;      // grey levels: a photograph spanning fewer is stretched

// `grey` with the levels between its darkest and lightest hundredth stretched over
// 0..255; empty where it already spans most of the range.
cv::Mat stretchedGrey(const cv::Mat& grey) {
  std::array<int, 256> histogram{};
  for (int y = 0; y < grey.rows; ++y) {
    const auto* value = grey.ptr<std::uint8_t>(y);
    for (int x = 0; x < grey.cols; ++x) ++histogram[value[x]];
  }
  const double tail = stretchTail * static_cast<double>(grey.total());
  int low = 0, high = 255;
  for (double seen = 0.0; low < 255 && (seen += histogram[static_cast<std::size_t>(low)]) <= tail;) ++low;
  for (double seen = 0.0; high > 0 && (seen += histogram[static_cast<std::size_t>(high)]) <= tail;) --high;
  if (high - low >= narrowRange || high <= low) return {};
  cv::Mat stretched;
  grey.convertTo(stretched, CV_8U, 255.0 / (high - low), -255.0 * low / (high - low));
  return stretched;
}

}  // namespace

DishView dishView(const cv::Mat& bgr) {
  DishView view;
  view.scale = std::min(1.0, 512.0 / std::max(bgr.cols, bgr.rows));
  view.frame = bgr.size();
  resizeBy(bgr, view.small, view.scale, cv::INTER_AREA);
  return view;
}

DishCircle findDishCircle(const cv::Mat& bgr) { return findDishCircle(dishView(bgr)); }

DishCircle findDishCircle(const DishView& view) {
  const double scale = view.scale;
  cv::Mat grey;
  cv::cvtColor(view.small, grey, cv::COLOR_BGR2GRAY);
  cv::GaussianBlur(grey, grey, cv::Size(5, 5), 1.5);

  const int shortSide = std::min(grey.cols, grey.rows);
  const int longSide = std::max(grey.cols, grey.rows);
  // Candidates from 30 % of the short side to 60 % of the long side (a dish overflowing
  // the frame); the one with the most votes wins. Only where none is found are smaller
  // dishes, down to 20 % of the short side, looked for: a cluster of colonies on a
  // dish that fills the frame can pass for a small dish.
  // Centres are first looked for where 80 edge points point at them: a dish's rim
  // here runs to a thousand or more, and each weaker centre costs a pass over every
  // edge point. Only a faint rim needs the weaker centres.
  // x, y, radius, votes
  std::vector<cv::Vec4f> circles = houghCircles(grey, 5.0, 80.0, 80.0, shortSide * 3 / 10, longSide * 6 / 10);
  if (circles.empty())
    circles = houghCircles(grey, 5.0, 80.0, 40.0, shortSide * 3 / 10, longSide * 6 / 10);
  if (circles.empty())
    circles = houghCircles(grey, 5.0, 80.0, 40.0, shortSide * 2 / 10, shortSide * 3 / 10);
  // An underexposed photograph (a dark agar on a dark bench in dim light) can show its
  // rim too faintly for the edge thresholds: there the grey levels are stretched over
  // the full range and the dish looked for again.
  if (circles.empty()) {
    const cv::Mat stretched = stretchedGrey(grey);
    if (!stretched.empty()) {
      circles = houghCircles(stretched, 5.0, 80.0, 80.0, shortSide * 3 / 10, longSide * 6 / 10);
      if (circles.empty())
        circles = houghCircles(stretched, 5.0, 80.0, 40.0, shortSide * 3 / 10, longSide * 6 / 10);
    }
  }

  DishCircle dish;
  dish.centre = cv::Point2d(view.frame.width / 2.0, view.frame.height / 2.0);
  dish.radius = std::min(view.frame.width, view.frame.height) / 2.0;
  if (!circles.empty()) {
    // A dish shows several concentric circles: the agar's edge, the meniscus and the
    // wall. The outermost of those that stand out nearly as strongly as the best is
    // the dish itself; where the agar ends inside it is found later.
    const cv::Vec4f& best = circles.front();
    cv::Vec4f outer = best;
    for (const cv::Vec4f& circle : circles) {
      const bool concentric = std::hypot(circle[0] - best[0], circle[1] - best[1]) < 0.1 * best[2];
      if (concentric && circle[3] >= 0.5f * best[3] && circle[2] > outer[2]) outer = circle;
    }
    dish.centre = cv::Point2d(outer[0] / scale, outer[1] / scale);
    dish.radius = outer[2] / scale;
    dish.found = true;
  }
  return dish;
}

}  // namespace corvale
