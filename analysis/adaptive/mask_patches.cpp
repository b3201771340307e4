#include "analysis/adaptive/mask_patches.hpp"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "analysis/adaptive/union_find.hpp"

namespace corvale {
namespace {

// The first set pixel of `row` from `x` on, skipping empty stretches eight at a time.
int nextSet(const std::uint8_t* row, int x, int cols) {
  for (std::uint64_t eight = 0; x + 8 <= cols; x += 8) {
    std::memcpy(&eight, row + x, sizeof eight);
    if (eight != 0) break;
  }
  while (x < cols && row[x] == 0) ++x;
  return x;
}

}  // namespace

MaskPatches::MaskPatches(const cv::Mat& mask) : size(mask.size()) {
  if (mask.type() != CV_8UC1) throw std::invalid_argument("MaskPatches: the mask must be CV_8UC1");
  // Each run joins the runs of the row above that touch it; the earlier run's root
  // stays the root, so a patch's root is its first run.
  std::vector<std::int32_t> parent;
  std::size_t above = 0, aboveEnd = 0;  // the runs of the row above
  for (int y = 0; y < mask.rows; ++y) {
    const std::uint8_t* row = mask.ptr<std::uint8_t>(y);
    const std::size_t rowStart = runs.size();
    std::size_t touching = above;
    for (int x = nextSet(row, 0, mask.cols); x < mask.cols; x = nextSet(row, x, mask.cols)) {
      const int begin = x;
      while (x < mask.cols && row[x] != 0) ++x;
      const int run = static_cast<int>(runs.size());
      runs.push_back({y, begin, x, 0});
      parent.push_back(run);
      // Runs above that end before this one begins, diagonal contact aside, touch none
      // of the runs still to come on this row either.
      while (touching < aboveEnd && runs[touching].end < begin) ++touching;
      for (std::size_t other = touching; other < aboveEnd && runs[other].begin <= x; ++other) {
        const int a = rootOf(parent, static_cast<int>(other)), b = rootOf(parent, run);
        parent[static_cast<std::size_t>(std::max(a, b))] = std::min(a, b);
      }
    }
    above = rowStart;
    aboveEnd = runs.size();
  }
  // Patches numbered in the order of their first runs.
  patches.resize(1);
  std::vector<int> patchOfRoot(runs.size(), 0);
  for (std::size_t i = 0; i < runs.size(); ++i) {
    const auto top = static_cast<std::size_t>(rootOf(parent, static_cast<int>(i)));
    if (top == i) {
      patchOfRoot[i] = static_cast<int>(patches.size());
      patches.emplace_back();
    }
    PatchRun& run = runs[i];
    run.patch = patchOfRoot[top];
    Patch& patch = patches[static_cast<std::size_t>(run.patch)];
    patch.area += run.end - run.begin;
    patch.low = cv::Point(std::min(patch.low.x, run.begin), std::min(patch.low.y, run.y));
    patch.high = cv::Point(std::max(patch.high.x, run.end - 1), std::max(patch.high.y, run.y));
  }
}

cv::Mat MaskPatches::chosen(const std::vector<std::uint8_t>& value) const {
  cv::Mat result = cv::Mat::zeros(size, CV_8UC1);
  for (const PatchRun& run : runs)
    if (const std::uint8_t v = value[static_cast<std::size_t>(run.patch)]; v != 0)
      std::memset(result.ptr<std::uint8_t>(run.y) + run.begin, v, static_cast<std::size_t>(run.end - run.begin));
  return result;
}

}  // namespace corvale
