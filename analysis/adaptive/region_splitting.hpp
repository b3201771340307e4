#pragma once
// Splitting the regions of a colony mask into the colonies they hold, by the shape of
// the regions alone: every colony is a hill of the distance map (the radius of the
// widest disc that fits at each pixel), and two touching colonies leave a clear
// saddle between their hills, where a bump on one ragged colony does not.

#include <cstdint>
#include <optional>
#include <vector>

#include <opencv2/core.hpp>

namespace corvale {

struct MaskPeak {
  cv::Point at;               // the hill's top
  float depth = 0.0f;         // the distance map there: the widest disc's radius
  std::int32_t region = 0;    // index into MaskSplit::regions
  std::int64_t area = 0;      // pixels that drained to this hill
};

struct MaskRegion {
  std::int64_t area = 0;
  cv::Rect box;
  cv::Point2d centroid;
  float deepest = 0.0f;        // the distance map's largest value in the region
  double elongation = 1.0;     // length over width, from the second moments: 1 for a disc
  std::vector<int> peaks;      // indices into MaskSplit::peaks
};

struct MaskSplit {
  cv::Mat regionOf;            // CV_32S: 1 + the region index of each mask pixel, 0 elsewhere
  std::vector<MaskPeak> peaks;
  std::vector<MaskRegion> regions;
};

// Floods the distance map of `mask` (CV_8UC1) from the top down, merging hills as
// they meet. A lower hill that meets a higher one stays a colony of its own when it
// is at least `smallestDepth` high and its top stands above the saddle by at least
// `saddleShare` of its height (and by a pixel at least); otherwise it is part of the
// higher one. Every region keeps its highest hill when that is at least `lowestTop`
// high (`smallestDepth` when not given); a region whose top is lower has no hill.
MaskSplit splitMask(const cv::Mat& mask, double smallestDepth, double saddleShare,
                    std::optional<double> lowestTop = std::nullopt);

// The same flooding over `height` (CV_32FC1, the mask's size) instead of the distance
// map: a lower hill stays apart when its top stands above the saddle by at least
// `saddleShare` of its height and by `smallestDrop`. Colonies are domed or shine at
// their middle, so touching colonies that merge into one round shape still show one
// hill of brightness each.
//
// Its pixels are flooded in steps of a sixteenth from the highest of `range` (of the
// mask's own heights where not given). Patches of a larger mask split each on its own,
// with that mask's range, split exactly as they would be together: patches that do not
// touch never meet, and each is flooded in the same order.
struct HeightRange {
  float low = 0.0f, high = 0.0f;
};
MaskSplit splitByHeight(const cv::Mat& mask, const cv::Mat& height, double saddleShare, double smallestDrop,
                        std::optional<HeightRange> range = std::nullopt);

}  // namespace corvale
