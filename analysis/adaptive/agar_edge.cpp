#include "analysis/adaptive/agar_edge.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <utility>
#include <vector>

#include "analysis/adaptive/mask_patches.hpp"

namespace corvale {
namespace {

constexpr double ringWidth = 0.015;          // of the radius: the agar's edge shows as a ring at least this wide
constexpr double labelReach = 0.02;          // of the dish's diameter: what reaches a disc this wide beyond the agar's edge lies over it
constexpr double labelNear = 1.15;           // of the dish's axes: how far beyond the dish such things are followed
constexpr double labelSpan = 0.5;            // of the dish's diameter: the most such a thing spans

// The share of the ellipse with axes times `factor` that `mask` covers, sampled
// along its outline.
double outlineCover(const cv::Mat& mask, const DishEllipse& dish, double factor, double scale) {
  constexpr int samples = 720;
  // The samples' directions, half a degree apart, worked out once: the edge is looked
  // for along dozens of outlines per count.
  static const std::array<cv::Point2d, samples> directions = [] {
    std::array<cv::Point2d, samples> around;
    for (int i = 0; i < samples; ++i) {
      const double t = i * CV_PI / 360.0;
      around[static_cast<std::size_t>(i)] = cv::Point2d(std::cos(t), std::sin(t));
    }
    return around;
  }();
  const double angle = dish.angle * CV_PI / 180.0;
  const double cosAngle = std::cos(angle), sinAngle = std::sin(angle);
  int on = 0, total = 0;
  for (const cv::Point2d& direction : directions) {
    const double u = dish.semiMajor * factor * direction.x, v = dish.semiMinor * factor * direction.y;
    const int x = static_cast<int>((dish.centre.x + u * cosAngle - v * sinAngle) * scale);
    const int y = static_cast<int>((dish.centre.y + u * sinAngle + v * cosAngle) * scale);
    if (x < 0 || y < 0 || x >= mask.cols || y >= mask.rows) continue;
    ++total;
    on += mask.at<std::uint8_t>(y, x) != 0;
  }
  return total > 0 ? static_cast<double>(on) / total : 0.0;
}

}  // namespace

// Where the agar ends, looked for from `from` to `to` of the ellipse's axes. Just inside the dish's wall the meniscus, the wall and the lid's
// reflections show as a ring all the way round, while colonies cover only part of any
// ring: walking outwards, the agar ends at the first ellipse that the mask covers for
// clearly more than the colonies cover of the dish's middle, and at least half its
// length, for some width (the dish's own outline when none does). Returns the factor
// of the dish's axes.
double agarEdge(const cv::Mat& mask, const DishEllipse& dish, double from, double to, double scale) {
  const double middle = static_cast<double>(cv::countNonZero(mask & ellipseMask(mask.size(), dish, from, scale))) /
                        std::max(1.0, CV_PI * dish.semiMajor * dish.semiMinor * from * from * scale * scale);
  const double ring = std::clamp(0.5 + middle, 0.5, 0.9);
  // The ring must be wider than a lid's thin reflected edge, beyond which agar goes on.
  const double step = 1.0 / std::max(1.0, dish.semiMajor * scale);
  const int wide = std::max(3, static_cast<int>(std::lround(ringWidth * dish.semiMajor * scale)));
  int run = 0;
  for (double factor = from; factor <= to; factor += step) {
    run = outlineCover(mask, dish, factor, scale) > ring ? run + 1 : 0;
    if (run >= wide) return factor - (run - 1) * step;
  }
  return to;
}

// What lies across the agar's edge and reaches well beyond it (a label stuck over the
// dish) is no colony on either side of the edge: the patches of `mask` near the dish
// with more of their area outside `usable` (an ellipse) than a disc of `labelReach` of
// the dish's diameter in radius. Colonies against the wall reach out less; the wall's
// ring, which runs all round, spans more of the dish than a label does. Empty where
// there is none.
cv::Mat overTheEdge(const cv::Mat& mask, const cv::Mat& usable, const DishEllipse& dish, double scale) {
  const double diameter = 2.0 * dish.semiMajor * scale;
  const double outsideLeast = CV_PI * (labelReach * diameter) * (labelReach * diameter);
  const MaskPatches labelled(mask & ellipseMask(mask.size(), dish, labelNear, scale));
  const std::vector<Patch>& patches = labelled.patches;
  // Each patch's pixels outside the ellipse: of each run, what lies beside the
  // ellipse's own run along that row.
  std::vector<std::int64_t> outside(patches.size(), 0);
  int row = -1;
  std::pair<int, int> inside{0, -1};
  for (const PatchRun& run : labelled.runs) {
    if (run.y != row) row = run.y, inside = setColumns(usable.ptr<std::uint8_t>(row), usable.cols);
    const int overlap = std::max(0, std::min(run.end - 1, inside.second) - std::max(run.begin, inside.first) + 1);
    outside[static_cast<std::size_t>(run.patch)] += run.end - run.begin - overlap;
  }
  std::vector<std::uint8_t> across(patches.size(), 0);
  bool any = false;
  for (std::size_t i = 1; i < patches.size(); ++i) {
    const int span = std::max(patches[i].width(), patches[i].height());
    across[i] = static_cast<double>(outside[i]) >= outsideLeast && span <= labelSpan * diameter ? 255 : 0;
    any = any || across[i] != 0;
  }
  return any ? labelled.chosen(across) : cv::Mat();
}

}  // namespace corvale
