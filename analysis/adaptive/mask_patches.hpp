#pragma once
// The 8-connected patches of a mask, found run by run: a run is a stretch of set
// pixels along a row, and runs that touch (diagonally too) on neighbouring rows belong
// to one patch. The masks labelled here (saturated pixels, what lies near the dish's
// edge, the wall's thin remains) are mostly empty, and their runs are few where a
// label image would cost four bytes for every pixel of the frame.

#include <cstdint>
#include <utility>
#include <vector>

#include <opencv2/core.hpp>

namespace corvale {

// The first and last column set in a row of a mask, or an empty range (first > last).
inline std::pair<int, int> setColumns(const std::uint8_t* row, int cols) {
  int first = 0, last = cols - 1;
  while (first < cols && row[first] == 0) ++first;
  while (last >= first && row[last] == 0) --last;
  return {first, last};
}

struct Patch {
  int area = 0;
  cv::Point low{INT32_MAX, INT32_MAX}, high{-1, -1};  // the box's first and last pixel
  int width() const { return high.x - low.x + 1; }
  int height() const { return high.y - low.y + 1; }
};

struct PatchRun {
  int y = 0, begin = 0, end = 0;  // the row and its pixels begin..end-1
  int patch = 0;                  // index into MaskPatches::patches
};

struct MaskPatches {
  cv::Size size;                // the mask's
  std::vector<Patch> patches;   // index 0 stands for the background and is empty
  std::vector<PatchRun> runs;   // in raster order

  // The patches of `mask` (CV_8UC1).
  explicit MaskPatches(const cv::Mat& mask);
  // A mask of `size` holding, over each patch, the value `value` gives for it (index 0
  // the background, not drawn).
  cv::Mat chosen(const std::vector<std::uint8_t>& value) const;
};

// The connected patches of `mask` that `choose` keeps: given every patch (index 0 the
// background), it sets 255 for each one kept.
template <typename Choose>
cv::Mat patchesChosen(const cv::Mat& mask, Choose choose) {
  const MaskPatches labelled(mask);
  std::vector<std::uint8_t> kept(labelled.patches.size(), 0);
  choose(labelled.patches, kept);
  return labelled.chosen(kept);
}

// The connected patches of `mask` for which `keep(patch)` holds.
template <typename Keep>
cv::Mat patchesWhere(const cv::Mat& mask, Keep keep) {
  return patchesChosen(mask, [&](const std::vector<Patch>& patches, std::vector<std::uint8_t>& kept) {
    for (std::size_t i = 1; i < patches.size(); ++i) kept[i] = keep(patches[i]) ? 255 : 0;
  });
}

}  // namespace corvale
