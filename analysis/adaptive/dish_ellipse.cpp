#include "analysis/adaptive/dish_ellipse.hpp"

#include <algorithm>
#include <cmath>
#include <optional>
#include <utility>
#include <vector>

#include <opencv2/imgproc.hpp>

namespace corvale {
namespace {

constexpr int rays = 180;
constexpr double tracedEdgeShare = 0.8;   // of the rays: an outline found without a circle must follow an edge this far round
constexpr float minimumEdge = 12.0f;      // grey levels over three pixels: weaker edges are the agar's texture
constexpr double nestedGaps = 0.25;      // an outline around another is larger along both axes, the one gap at least this share of the other
constexpr double strongShare = 0.5;      // of a ray's strongest edge: the outermost edge this strong is the wall

// Bilinear sample of a CV_32F image; -1 outside.
float sample(const cv::Mat& image, double x, double y) {
  if (x < 0.0 || y < 0.0 || x > image.cols - 1.001 || y > image.rows - 1.001) return -1.0f;
  const int x0 = static_cast<int>(x), y0 = static_cast<int>(y);
  const auto fx = static_cast<float>(x - x0), fy = static_cast<float>(y - y0);
  const float* row0 = image.ptr<float>(y0);
  const float* row1 = image.ptr<float>(y0 + 1);
  return (row0[x0] * (1 - fx) + row0[x0 + 1] * fx) * (1 - fy) + (row1[x0] * (1 - fx) + row1[x0 + 1] * fx) * fy;
}

// The outermost strong edge along each ray from `centre`, between `from(angle)` and
// `to(angle)` pixels out.
template <typename Near, typename Far>
std::vector<cv::Point2f> rayEdges(const cv::Mat& grey, cv::Point2d centre, Near from, Far to) {
  std::vector<cv::Point2f> edges;
  std::vector<double> strengths;
  for (int ray = 0; ray < rays; ++ray) {
    const double angle = ray * CV_2PI / rays;
    const double cx = std::cos(angle), cy = std::sin(angle);
    const double start = from(angle), end = to(angle);
    strengths.clear();
    double strongest = 0.0;
    for (double r = start; r <= end; r += 1.0) {
      const float inner = sample(grey, centre.x + (r - 1.5) * cx, centre.y + (r - 1.5) * cy);
      const float outer = sample(grey, centre.x + (r + 1.5) * cx, centre.y + (r + 1.5) * cy);
      if (inner < 0.0f || outer < 0.0f) break;
      strengths.push_back(std::abs(outer - inner));
      strongest = std::max(strongest, strengths.back());
    }
    if (strongest < minimumEdge) continue;
    for (std::size_t i = strengths.size(); i-- > 0;)
      if (strengths[i] >= strongShare * strongest) {
        const double r = start + static_cast<double>(i);
        edges.emplace_back(static_cast<float>(centre.x + r * cx), static_cast<float>(centre.y + r * cy));
        break;
      }
  }
  return edges;
}

// An ellipse through the edges, refitted twice without the 30 % that strayed most.
bool fitTrimmed(std::vector<cv::Point2f> edges, cv::RotatedRect& fitted) {
  if (edges.size() < rays / 3) return false;
  fitted = cv::fitEllipse(edges);
  for (int round = 0; round < 2; ++round) {
    std::vector<double> residuals;
    for (const cv::Point2f& edge : edges) residuals.push_back(ellipseResidual(fitted, edge));
    std::vector<double> sorted = residuals;
    std::nth_element(sorted.begin(), sorted.begin() + static_cast<long>(sorted.size() * 7 / 10), sorted.end());
    const double limit = std::max(0.01, sorted[sorted.size() * 7 / 10]);
    std::vector<cv::Point2f> kept;
    for (std::size_t i = 0; i < edges.size(); ++i)
      if (residuals[i] <= limit) kept.push_back(edges[i]);
    if (kept.size() < 20) return false;
    fitted = cv::fitEllipse(kept);
    edges = kept;
  }
  return std::isfinite(fitted.size.width) && std::isfinite(fitted.size.height) && fitted.size.width > 0.0f &&
         fitted.size.height > 0.0f;
}

// The distance from the ellipse's centre to its outline along `angle` (radians).
double ellipseRadius(const cv::RotatedRect& ellipse, double angle) {
  const double tilt = angle - ellipse.angle * CV_PI / 180.0;
  const double a = ellipse.size.width / 2.0, b = ellipse.size.height / 2.0;
  return a * b / std::hypot(b * std::cos(tilt), a * std::sin(tilt));
}

// How strongly the photograph shows an edge along the outline: the mean over the rays
// inside the frame of the strongest edge within 3 % of the outline; 0 when fewer than
// half the rays stay inside the frame.
double outlineSupport(const cv::Mat& grey, const cv::RotatedRect& outline, double* edgeShare = nullptr) {
  const cv::Point2d centre(outline.center);
  double total = 0.0;
  int inside = 0, edged = 0;
  for (int ray = 0; ray < rays; ++ray) {
    const double angle = ray * CV_2PI / rays;
    const double cx = std::cos(angle), cy = std::sin(angle);
    const double radius = ellipseRadius(outline, angle);
    double strongest = 0.0;
    bool seen = true;
    for (double r = 0.97 * radius; r <= 1.03 * radius; r += 0.5) {
      const float inner = sample(grey, centre.x + (r - 1.5) * cx, centre.y + (r - 1.5) * cy);
      const float outer = sample(grey, centre.x + (r + 1.5) * cx, centre.y + (r + 1.5) * cy);
      if (inner < 0.0f || outer < 0.0f) {
        seen = false;
        break;
      }
      strongest = std::max(strongest, static_cast<double>(std::abs(outer - inner)));
    }
    if (!seen) continue;
    total += strongest;
    ++inside;
    edged += strongest >= minimumEdge;
  }
  if (edgeShare != nullptr) *edgeShare = inside > 0 ? static_cast<double>(edged) / inside : 0.0;
  return 2 * inside >= rays ? total / inside : 0.0;
}


// The ellipse traced by rays from `centre` (first over a wide range around `radius`,
// then near the first fit's outline), or nothing.
std::optional<cv::RotatedRect> traceOutline(const cv::Mat& grey, cv::Point2d centre, double radius) {
  cv::RotatedRect first, fitted;
  if (!fitTrimmed(rayEdges(grey, centre, [&](double) { return 0.3 * radius; }, [&](double) { return 1.5 * radius; }), first))
    return std::nullopt;
  if (!fitTrimmed(rayEdges(grey, cv::Point2d(first.center), [&](double angle) { return 0.8 * ellipseRadius(first, angle); },
                           [&](double angle) { return 1.2 * ellipseRadius(first, angle); }),
                  fitted))
    return std::nullopt;
  const double a = std::max(fitted.size.width, fitted.size.height) / 2.0, b = std::min(fitted.size.width, fitted.size.height) / 2.0;
  // A plausible dish: not flatter than 0.55, at least a quarter of the frame across,
  // its centre inside the frame.
  const double shortSide = std::min(grey.cols, grey.rows);
  if (b < 0.55 * a || b < 0.25 * shortSide || fitted.center.x < 0 || fitted.center.y < 0 || fitted.center.x > grey.cols ||
      fitted.center.y > grey.rows)
    return std::nullopt;
  return fitted;
}

}  // namespace

double ellipseResidual(const cv::RotatedRect& ellipse, cv::Point2f at) {
  const double angle = ellipse.angle * CV_PI / 180.0;
  const double dx = at.x - ellipse.center.x, dy = at.y - ellipse.center.y;
  const double u = dx * std::cos(angle) + dy * std::sin(angle);
  const double v = -dx * std::sin(angle) + dy * std::cos(angle);
  const double a = ellipse.size.width / 2.0, b = ellipse.size.height / 2.0;
  return std::abs(std::sqrt(u * u / (a * a) + v * v / (b * b)) - 1.0);
}

DishEllipse fitDishEllipse(const cv::Mat& bgr, const DishCircle& circle) {
  if (bgr.empty()) return DishEllipse{circle.centre, circle.radius, circle.radius, 0.0, circle.found};
  return fitDishEllipse(dishView(bgr), circle);
}

DishEllipse fitDishEllipse(const DishView& view, const DishCircle& circle) {
  DishEllipse dish{circle.centre, circle.radius, circle.radius, 0.0, circle.found};
  if (view.small.empty()) return dish;
  const double scale = view.scale;
  cv::Mat grey;
  cv::cvtColor(view.small, grey, cv::COLOR_BGR2GRAY);
  grey.convertTo(grey, CV_32F);
  cv::GaussianBlur(grey, grey, cv::Size(), 1.5);

  // Candidates: the circle found, and outlines traced from its centre and from the
  // frame's (a circle found on a dish seen at an angle, or on a cluster of colonies,
  // may be off; a dish seen at a steep angle may show no circle at all). The one the photograph's edges follow most strongly wins; of those
  // concentric with it and nearly as strong, the largest, since the wall's outer edge
  // is the dish and the agar's edge and the meniscus lie inside it.
  const double radius = circle.radius * scale;
  std::vector<cv::RotatedRect> candidates;
  if (circle.found) {
    candidates.emplace_back(cv::Point2f(circle.centre * scale), cv::Size2f(static_cast<float>(2.0 * radius), static_cast<float>(2.0 * radius)), 0.0f);
    if (const auto traced = traceOutline(grey, circle.centre * scale, radius)) candidates.push_back(*traced);
  }
  if (const auto traced = traceOutline(grey, cv::Point2d(grey.cols / 2.0, grey.rows / 2.0), std::min(grey.cols, grey.rows) / 2.0))
    candidates.push_back(*traced);
  if (candidates.empty()) return dish;
  std::vector<double> support, edged(candidates.size(), 0.0);
  for (std::size_t i = 0; i < candidates.size(); ++i) support.push_back(outlineSupport(grey, candidates[i], &edged[i]));
  const auto best = static_cast<std::size_t>(std::max_element(support.begin(), support.end()) - support.begin());
  std::size_t chosen = best;
  const auto size = [](const cv::RotatedRect& e) { return static_cast<double>(e.size.width) + e.size.height; };
  // A larger outline must also lie outside the best along both its axes, or be followed
  // by an edge nearly as far round: a circle as wide as a tilted dish's long axis is
  // larger only across the short one, and meets the dish's edges only near the ends of
  // the long one.
  const auto axes = [](const cv::RotatedRect& e) {
    return std::pair{std::max(e.size.width, e.size.height) / 2.0, std::min(e.size.width, e.size.height) / 2.0};
  };
  const auto [bestMajor, bestMinor] = axes(candidates[best]);
  for (std::size_t i = 0; i < candidates.size(); ++i) {
    const double apart = cv::norm(candidates[i].center - candidates[best].center);
    const auto [major, minor] = axes(candidates[i]);
    const double alongMajor = major - bestMajor, alongMinor = minor - bestMinor;
    const bool enclosing = std::min(alongMajor, alongMinor) >= nestedGaps * std::max(alongMajor, alongMinor);
    if (apart < 0.05 * size(candidates[best]) && support[i] >= 0.6 * support[best] && size(candidates[i]) > size(candidates[chosen]) &&
        (enclosing || edged[i] >= tracedEdgeShare * edged[best]))
      chosen = i;
  }
  // A near circle is kept as the circle: it is the more precise fit of a dish seen from above.
  const cv::RotatedRect& fitted = candidates[chosen];
  double a = fitted.size.width / 2.0, b = fitted.size.height / 2.0, angle = fitted.angle;
  if (a < b) std::swap(a, b), angle += 90.0;
  if (circle.found && chosen == 0) return dish;
  // Without a circle to confirm it, an outline stands only where an edge follows it
  // nearly all round: the corners of a square patch, say, do not.
  double edgeShare = 0.0;
  outlineSupport(grey, fitted, &edgeShare);
  if (!circle.found && edgeShare < tracedEdgeShare) return dish;
  dish.found = true;
  dish.centre = cv::Point2d(fitted.center) / scale;
  dish.semiMajor = a / scale;
  dish.semiMinor = b / scale;
  dish.angle = angle;
  return dish;
}

cv::Mat ellipseMask(cv::Size size, const DishEllipse& dish, double factor, double scale) {
  cv::Mat mask = cv::Mat::zeros(size, CV_8UC1);
  const cv::Size2f axes(static_cast<float>(2.0 * dish.semiMajor * factor * scale), static_cast<float>(2.0 * dish.semiMinor * factor * scale));
  if (axes.width >= 1.0f && axes.height >= 1.0f)
    cv::ellipse(mask, cv::RotatedRect(cv::Point2f(dish.centre * scale), axes, static_cast<float>(dish.angle)), cv::Scalar(255), cv::FILLED);
  return mask;
}

bool insideEllipse(const DishEllipse& dish, cv::Point2d at, double factor) {
  const double angle = dish.angle * CV_PI / 180.0;
  const double dx = at.x - dish.centre.x, dy = at.y - dish.centre.y;
  const double u = (dx * std::cos(angle) + dy * std::sin(angle)) / (dish.semiMajor * factor);
  const double v = (-dx * std::sin(angle) + dy * std::cos(angle)) / (dish.semiMinor * factor);
  return u * u + v * v <= 1.0;
}

}  // namespace corvale
