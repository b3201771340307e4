#include "analysis/adaptive/agar_outline.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "analysis/adaptive/lightness.hpp"

namespace corvale {
namespace {

constexpr double middleFactor = 0.5;    // of the dish's axes: the middle, where the agar's colour is taken
constexpr double lightnessWeight = 0.5; // lightness varies with the light across a dish far more than colour does
constexpr double agarQuantile = 0.2;    // of the middle: at least this much of it is agar
constexpr double spreadMultiple = 5.0;  // agar lies within this many times that quantile's distance from its colour
constexpr double leastSpread = 16.0;    // and at least this far, in Lab units
constexpr double mostSpread = 25.0;
constexpr double reach = 1.1;           // of the dish's axes: no agar beyond
constexpr double leastCover = 0.4;      // of the dish's area: less agar than this is no outline to trust
constexpr double mostCover = 1.15;
constexpr double onOutline = 0.02;      // of the axes: an outline point this close to the ellipse is on it
constexpr double outlineShare = 0.8;    // of the outline: at least this much must be on the ellipse

}  // namespace

std::optional<DishEllipse> findAgarOutline(const cv::Mat& bgr, const DishEllipse& dish) {
  if (bgr.empty() || bgr.type() != CV_8UC3 || dish.semiMinor <= 0.0) return std::nullopt;
  return findAgarOutline(dishView(bgr), dish);
}

std::optional<DishEllipse> findAgarOutline(const DishView& view, const DishEllipse& dish) {
  if (view.small.empty() || view.small.type() != CV_8UC3 || dish.semiMinor <= 0.0) return std::nullopt;
  const double scale = view.scale;
  cv::Mat small, lab;
  cv::blur(view.small, small, cv::Size(5, 5));
  labOf(small, lab);

  // The agar's colour: the commonest one in the dish's middle, where agar outweighs
  // whatever grows on it.
  const cv::Mat middle = ellipseMask(lab.size(), dish, middleFactor, scale);
  std::vector<int> histogram(32 * 64 * 64, 0);
  for (int y = 0; y < lab.rows; ++y) {
    const auto* c = lab.ptr<std::uint8_t>(y);
    const auto* inside = middle.ptr<std::uint8_t>(y);
    for (int x = 0; x < lab.cols; ++x, c += 3)
      if (inside[x] != 0) ++histogram[static_cast<std::size_t>((c[0] / 8) * 4096 + (c[1] / 4) * 64 + c[2] / 4)];
  }
  const int mode = static_cast<int>(std::max_element(histogram.begin(), histogram.end()) - histogram.begin());
  const std::array<double, 3> agar{(mode / 4096) * 8.0 + 4.0, ((mode / 64) % 64) * 4.0 + 2.0, (mode % 64) * 4.0 + 2.0};

  // Each pixel's distance from the agar's colour, row by row in plain loops the
  // compiler builds for vectors.
  cv::Mat distance(lab.size(), CV_32F);
  std::vector<float> inMiddle;
  for (int y = 0; y < lab.rows; ++y) {
    const auto* c = lab.ptr<std::uint8_t>(y);
    const auto* inside = middle.ptr<std::uint8_t>(y);
    auto* out = distance.ptr<float>(y);
    for (int x = 0; x < lab.cols; ++x) {
      const double dl = lightnessWeight * (c[3 * x] - agar[0]), da = c[3 * x + 1] - agar[1], db = c[3 * x + 2] - agar[2];
      out[x] = static_cast<float>(std::sqrt(dl * dl + da * da + db * db));
    }
    for (int x = 0; x < lab.cols; ++x)
      if (inside[x] != 0) inMiddle.push_back(out[x]);
  }
  if (inMiddle.empty()) return std::nullopt;
  const std::size_t quantile = static_cast<std::size_t>(agarQuantile * static_cast<double>(inMiddle.size()));
  std::nth_element(inMiddle.begin(), inMiddle.begin() + static_cast<long>(quantile), inMiddle.end());
  const double limit = std::clamp(spreadMultiple * inMiddle[quantile], leastSpread, mostSpread);

  // The agar-coloured stretch connected to the middle, within reach of the dish.
  cv::Mat agarLike = (distance < limit) & ellipseMask(lab.size(), dish, reach, scale);
  cv::Mat labels;
  const int found = cv::connectedComponents(agarLike, labels, 4, CV_32S);
  std::vector<std::int64_t> inside(static_cast<std::size_t>(found), 0);
  for (int y = 0; y < lab.rows; ++y) {
    const auto* label = labels.ptr<std::int32_t>(y);
    const auto* central = middle.ptr<std::uint8_t>(y);
    for (int x = 0; x < lab.cols; ++x)
      if (central[x] != 0) ++inside[static_cast<std::size_t>(label[x])];
  }
  inside[0] = 0;
  const int agarLabel = static_cast<int>(std::max_element(inside.begin(), inside.end()) - inside.begin());
  if (agarLabel == 0) return std::nullopt;
  std::vector<std::vector<cv::Point>> contours;
  cv::findContours(labels == agarLabel, contours, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_NONE);
  if (contours.empty()) return std::nullopt;
  const auto largest = std::max_element(contours.begin(), contours.end(), [](const auto& a, const auto& b) {
    return cv::contourArea(a) < cv::contourArea(b);
  });
  std::vector<cv::Point> hull;
  cv::convexHull(*largest, hull);
  const double dishArea = CV_PI * dish.semiMajor * dish.semiMinor * scale * scale;
  const double hullArea = cv::contourArea(hull);
  if (hullArea < leastCover * dishArea || hullArea > mostCover * dishArea) return std::nullopt;

  // The ellipse through the hull's outline, leaving out where the frame cuts it.
  std::vector<cv::Point2f> outline;
  cv::Mat filled = cv::Mat::zeros(lab.size(), CV_8UC1);
  cv::fillConvexPoly(filled, hull, cv::Scalar(255));
  std::vector<std::vector<cv::Point>> edge;
  cv::findContours(filled, edge, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_NONE);
  for (const cv::Point& p : edge.front())
    if (p.x > 1 && p.y > 1 && p.x < lab.cols - 2 && p.y < lab.rows - 2) outline.emplace_back(p);
  if (outline.size() < 50) return std::nullopt;
  // Fitted, then refitted twice on the 70 % of the outline nearest the fit: where glare
  // or a clump cuts into the agar at the wall, the hull runs straight, off the ellipse.
  cv::RotatedRect fitted = cv::fitEllipse(outline);
  std::vector<double> residuals(outline.size());
  const auto measure = [&] {
    for (std::size_t i = 0; i < outline.size(); ++i) residuals[i] = ellipseResidual(fitted, outline[i]);
  };
  for (int round = 0; round < 2; ++round) {
    measure();
    std::vector<double> sorted = residuals;
    const auto cut = sorted.begin() + static_cast<long>(sorted.size() * 7 / 10);
    std::nth_element(sorted.begin(), cut, sorted.end());
    std::vector<cv::Point2f> kept;
    for (std::size_t i = 0; i < outline.size(); ++i)
      if (residuals[i] <= *cut) kept.push_back(outline[i]);
    fitted = cv::fitEllipse(kept);
  }
  measure();
  const auto close = std::count_if(residuals.begin(), residuals.end(), [](double r) { return r < onOutline; });
  if (static_cast<double>(close) < outlineShare * static_cast<double>(outline.size())) return std::nullopt;
  double a = fitted.size.width / 2.0, b = fitted.size.height / 2.0, angle = fitted.angle;
  if (!std::isfinite(a) || !std::isfinite(b) || b <= 0.0) return std::nullopt;
  if (a < b) std::swap(a, b), angle += 90.0;
  DishEllipse agarOutline;
  agarOutline.centre = cv::Point2d(fitted.center) / scale;
  agarOutline.semiMajor = a / scale;
  agarOutline.semiMinor = b / scale;
  agarOutline.angle = angle;
  agarOutline.found = true;
  return agarOutline;
}

}  // namespace corvale
