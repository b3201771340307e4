#include "analysis/adaptive/region_splitting.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <memory>
#include <stdexcept>

#include <opencv2/imgproc.hpp>

#include "analysis/adaptive/chamfer_distance.hpp"
#include "analysis/adaptive/union_find.hpp"

namespace corvale {
namespace {

struct Hills {
  std::vector<std::int32_t> parent;
  std::vector<float> top;
  std::vector<std::int32_t> topPixel;
  std::vector<std::int32_t> area;  // pixels

  std::int32_t find(std::int32_t hill) { return rootOf(parent, hill); }
};

}  // namespace

namespace {

// `pixels` ordered from the highest `height` down into `sorted`, in steps of a
// sixteenth from the highest of `range` (a counting sort: linear in the pixels, where
// comparison sorting dominated the run), and their heights in that order.
std::vector<float> sortDescending(const std::vector<std::int32_t>& pixels, const float* height, HeightRange range,
                                  std::vector<std::int32_t>& sorted) {
  sorted.resize(pixels.size());
  if (pixels.empty()) return {};
  constexpr float steps = 16.0f;
  const float low = range.low, high = range.high;
  const auto bins = static_cast<std::size_t>(std::min(1 << 20, static_cast<int>((high - low) * steps) + 1));
  // Each pixel's bin, worked out once: the height map is read once, in the pixels' order.
  std::vector<std::uint32_t> binOf(pixels.size());
  std::vector<std::int32_t> start(bins + 1, 0);
  for (std::size_t i = 0; i < pixels.size(); ++i) {
    binOf[i] = static_cast<std::uint32_t>(std::min(bins - 1, static_cast<std::size_t>((high - height[pixels[i]]) * steps)));
    ++start[binOf[i] + 1];
  }
  for (std::size_t i = 1; i <= bins; ++i) start[i] += start[i - 1];
  std::vector<float> heights(pixels.size());
  for (std::size_t i = 0; i < pixels.size(); ++i) {
    const auto at = static_cast<std::size_t>(start[binOf[i]]++);
    sorted[at] = pixels[i];
    heights[at] = height[pixels[i]];
  }
  return heights;
}

// Floods `height` (CV_32F, one pixel larger than `mask` all round) over the mask's
// pixels from the top down; see splitMask. `mask` is the part at `origin` of a frame
// of `frame` size, which the split describes.
MaskSplit flood(const cv::Mat& mask, const cv::Mat& padded, const cv::Mat& distance, double smallestDepth, double lowestTop,
                double saddleShare, double smallestDrop, cv::Point origin, cv::Size frame, std::optional<HeightRange> range) {
  MaskSplit split;
  split.regionOf = cv::Mat::zeros(frame, CV_32S);
  const int width = padded.cols;

  // Every vector that grows by a pixel is sized up front: reallocating them cost as
  // much as the flooding itself. The mask's pixels are listed in raster order, with
  // where each padded row begins, so that what is measured of them afterwards is not
  // a pass over the whole box: a sparse mask's box is mostly empty. Runs of eight unset
  // pixels are passed over at once; within the others each pixel's index is written
  // and kept only where it is set, without a branch for each pixel (whether one is set
  // cannot be foreseen), into one slot more than the pixels for the last write. The
  // listed pixels' range of heights is found on the way, for where none is given, in
  // eight lanes by a pixel's place in its run of eight: one running minimum and maximum
  // would make each pixel wait on the one before.
  std::vector<std::int32_t> raster(static_cast<std::size_t>(cv::countNonZero(padded)) + 1);
  std::size_t listed = 0;
  std::vector<std::size_t> rowBegin(static_cast<std::size_t>(padded.rows), 0);
  std::array<float, 8> lows, highs;
  lows.fill(INFINITY), highs.fill(-INFINITY);
  for (int y = 1; y < padded.rows - 1; ++y) {
    rowBegin[static_cast<std::size_t>(y)] = listed;
    const auto* row = padded.ptr<std::uint8_t>(y);
    const auto* height = distance.ptr<float>(y);
    for (int x = 1; x < width - 1;) {
      if (std::uint64_t eight = 0; x + 8 <= width - 1 && (std::memcpy(&eight, row + x, 8), eight == 0)) {
        x += 8;
        continue;
      }
      const auto list = [&](int k) {
        const bool set = row[x + k] != 0;
        const float h = height[x + k];
        raster[listed] = y * width + x + k;
        listed += set;
        lows[static_cast<std::size_t>(k)] = set && h < lows[static_cast<std::size_t>(k)] ? h : lows[static_cast<std::size_t>(k)];
        highs[static_cast<std::size_t>(k)] = set && h > highs[static_cast<std::size_t>(k)] ? h : highs[static_cast<std::size_t>(k)];
      };
      const int count = std::min(8, width - 1 - x);
      if (count == 8)
        for (int k = 0; k < 8; ++k) list(k);
      else
        for (int k = 0; k < count; ++k) list(k);
      x += count;
    }
  }
  const HeightRange heights{*std::min_element(lows.begin(), lows.end()), *std::max_element(highs.begin(), highs.end())};
  raster.resize(listed);
  rowBegin[static_cast<std::size_t>(padded.rows - 1)] = listed;
  std::vector<std::int32_t> order;
  std::vector<float> depth = sortDescending(raster, distance.ptr<float>(0), range.value_or(heights), order);

  // flooded: whether each pixel is wet yet, a byte each, to be cleared and read in a
  // quarter of the memory the hills would take; hillOf: the hill each flooded pixel
  // joined, read only where it is wet (and so never before it is written). Each pixel
  // floods as a hill of its own, but most join a neighbour's hill at once, and only the
  // pixels that stay a hill's top (nothing wet beside them, or higher than the hills
  // beside them) are given one: the hills' tables stay a small fraction of the pixels
  // and in cache. They are numbered as they come, in the flooding order.
  std::vector<std::uint8_t> flooded(static_cast<std::size_t>(padded.total()), 0);
  const std::unique_ptr<std::int32_t[]> hillOf(new std::int32_t[padded.total()]);
  Hills hills;
  const auto newHill = [&hills](std::int32_t pixel, float top) {
    const auto hill = static_cast<std::int32_t>(hills.parent.size());
    hills.parent.push_back(hill);
    hills.top.push_back(top);
    hills.area.push_back(1);
    hills.topPixel.push_back(pixel);
    return hill;
  };
  std::vector<MaskPeak> peaks;
  const int neighbours[8] = {-width - 1, -width, -width + 1, -1, 1, width - 1, width, width + 1};
  const auto emit = [&](std::int32_t hill) {
    const auto h = static_cast<std::size_t>(hill);
    const int pixel = hills.topPixel[h];
    peaks.push_back({cv::Point(pixel % width - 1, pixel / width - 1) + origin, hills.top[h], 0, hills.area[h]});
  };
  const auto ownHill = [&](float top, float saddle) {
    return top >= smallestDepth && top - saddle >= std::max(smallestDrop, saddleShare * top);
  };
  for (std::size_t i = 0; i < order.size(); ++i) {
    const std::int32_t pixel = order[i];
    const float saddle = depth[i];
    std::int32_t root = -1;  // of the pixel's hill, followed as hills join it; -1 while that is the pixel alone
    // Which neighbours are flooded, found without a branch for each: whether one is
    // cannot be foreseen. A neighbour that names the hill the one before it named is in
    // the pixel's hill already: that hill was joined to the pixel's, or was the pixel's.
    std::int32_t seen = -1;
    unsigned wet = 0;
    for (unsigned k = 0; k < 8; ++k) wet |= static_cast<unsigned>(flooded[static_cast<std::size_t>(pixel + neighbours[k])]) << k;
    for (; wet != 0; wet &= wet - 1) {
      const std::int32_t other = hillOf[static_cast<std::size_t>(pixel + neighbours[std::countr_zero(wet)])];
      if (other == seen) continue;
      seen = other;
      std::int32_t b = hills.find(other);
      if (root < 0) {
        // The pixel alone, its top the saddle, usually ends here as part of the
        // neighbour's hill; where it stands higher than that hill it becomes a hill.
        if (!(saddle > hills.top[static_cast<std::size_t>(b)]) && !ownHill(saddle, saddle)) {
          ++hills.area[static_cast<std::size_t>(b)];
          root = b;
          continue;
        }
        root = newHill(pixel, saddle);
      }
      std::int32_t a = root;
      if (a == b) continue;
      // The younger hill (the lower top) ends here, as a colony or as part of the other.
      if (hills.top[static_cast<std::size_t>(a)] > hills.top[static_cast<std::size_t>(b)]) std::swap(a, b);
      const auto young = static_cast<std::size_t>(a), old = static_cast<std::size_t>(b);
      if (ownHill(hills.top[young], saddle)) emit(a);
      else hills.area[old] += hills.area[young];
      hills.parent[young] = b;
      root = b;
    }
    if (root < 0) root = newHill(pixel, saddle);
    // The pixel's hill as it stands: its neighbours still to flood find it from there.
    hillOf[static_cast<std::size_t>(pixel)] = root;
    flooded[static_cast<std::size_t>(pixel)] = 1;
  }
  // What remains of each region is its highest hill.
  std::vector<std::int32_t> regionOfRoot(hills.parent.size(), -1);
  for (std::size_t hill = 0; hill < hills.parent.size(); ++hill) {
    if (hills.parent[hill] != static_cast<std::int32_t>(hill)) continue;
    regionOfRoot[hill] = static_cast<std::int32_t>(split.regions.size());
    split.regions.emplace_back();
    split.regions.back().deepest = hills.top[hill];
    if (hills.top[hill] >= lowestTop) emit(static_cast<std::int32_t>(hill));
  }
  std::vector<std::int64_t> sumX(split.regions.size()), sumY(split.regions.size());
  std::vector<std::int64_t> sumXX(split.regions.size()), sumYY(split.regions.size()), sumXY(split.regions.size());
  std::vector<cv::Point> low(split.regions.size(), cv::Point(frame.width, frame.height)), high(split.regions.size(), cv::Point(-1, -1));
  // Row by row, in whole numbers (exact in any order), in the frame's coordinates. A
  // row's pixels mostly come in runs of one region: each run is summed in locals and
  // added to its region once, rather than each pixel waiting on the last one's sums.
  for (int row = 0; row < mask.rows; ++row) {
    const int y = row + origin.y;
    auto* out = split.regionOf.ptr<std::int32_t>(y);
    const std::int32_t rowStart = (row + 1) * width + 1 - origin.x;  // the padded index of the frame's column 0
    const auto end = rowBegin[static_cast<std::size_t>(row + 2)];
    std::int32_t current = -1;
    std::int64_t count = 0, x1 = 0, xx = 0;
    int first = 0, last = 0;
    const auto addRun = [&] {
      if (current < 0) return;
      const auto r = static_cast<std::size_t>(current);
      split.regions[r].area += count;
      sumX[r] += x1, sumY[r] += count * y;
      sumXX[r] += xx, sumYY[r] += count * y * y, sumXY[r] += x1 * y;
      low[r] = cv::Point(std::min(low[r].x, first), std::min(low[r].y, y));
      high[r] = cv::Point(std::max(high[r].x, last), std::max(high[r].y, y));
    };
    for (auto i = rowBegin[static_cast<std::size_t>(row + 1)]; i < end; ++i) {
      const std::int32_t pixel = raster[i];
      const int x = pixel - rowStart;
      const std::int32_t region = regionOfRoot[static_cast<std::size_t>(hills.find(hillOf[static_cast<std::size_t>(pixel)]))];
      out[x] = region + 1;
      if (region != current) {
        addRun();
        current = region, count = 0, x1 = 0, xx = 0, first = x;
      }
      ++count, x1 += x, xx += static_cast<std::int64_t>(x) * x, last = x;
    }
    addRun();
  }
  for (std::size_t r = 0; r < split.regions.size(); ++r) {
    MaskRegion& region = split.regions[r];
    region.centroid = cv::Point2d(static_cast<double>(sumX[r]) / static_cast<double>(region.area),
                                  static_cast<double>(sumY[r]) / static_cast<double>(region.area));
    region.box = cv::Rect(low[r], high[r] + cv::Point(1, 1));
    const double n = static_cast<double>(region.area);
    const double xx = static_cast<double>(sumXX[r]) / n - region.centroid.x * region.centroid.x + 1.0 / 12.0;
    const double yy = static_cast<double>(sumYY[r]) / n - region.centroid.y * region.centroid.y + 1.0 / 12.0;
    const double xy = static_cast<double>(sumXY[r]) / n - region.centroid.x * region.centroid.y;
    const double spread = std::sqrt((xx - yy) * (xx - yy) / 4.0 + xy * xy);
    const double major = (xx + yy) / 2.0 + spread, minor = std::max(1e-9, (xx + yy) / 2.0 - spread);
    region.elongation = std::sqrt(major / minor);
  }
  for (std::size_t i = 0; i < peaks.size(); ++i) {
    MaskPeak& peak = peaks[i];
    peak.region = split.regionOf.at<std::int32_t>(peak.at) - 1;
    split.regions[static_cast<std::size_t>(peak.region)].peaks.push_back(static_cast<int>(i));
  }
  split.peaks = std::move(peaks);
  return split;
}

}  // namespace

MaskSplit splitMask(const cv::Mat& mask, double smallestDepth, double saddleShare, std::optional<double> lowestTop) {
  if (mask.type() != CV_8UC1) throw std::invalid_argument("splitMask: the mask must be CV_8UC1");
  const cv::Rect box = cv::boundingRect(mask);
  if (box.area() == 0) return MaskSplit{cv::Mat::zeros(mask.size(), CV_32S), {}, {}};
  // Only the box around the mask's pixels is looked at, with a margin of two pixels
  // of background: the distance map's steps reach two pixels, so no distance inside
  // comes from beyond the margin. A zero border, so that the frame's edge bounds the
  // distances too.
  const cv::Rect around = (box + cv::Size(4, 4) - cv::Point(2, 2)) & cv::Rect(cv::Point(0, 0), mask.size());
  cv::Mat padded, distance;
  cv::copyMakeBorder(mask(around), padded, 1, 1, 1, 1, cv::BORDER_CONSTANT, cv::Scalar(0));
  chamferDistance(padded, distance);
  return flood(mask(around), padded, distance, smallestDepth, lowestTop.value_or(smallestDepth), saddleShare, 1.0,
               around.tl(), mask.size(), std::nullopt);
}

MaskSplit splitByHeight(const cv::Mat& mask, const cv::Mat& height, double saddleShare, double smallestDrop,
                        std::optional<HeightRange> range) {
  if (mask.type() != CV_8UC1 || height.type() != CV_32FC1 || height.size() != mask.size())
    throw std::invalid_argument("splitByHeight: a CV_8UC1 mask and a CV_32FC1 height of its size are needed");
  if (mask.empty()) return MaskSplit{cv::Mat::zeros(mask.size(), CV_32S), {}, {}};
  cv::Mat padded, paddedHeight;
  cv::copyMakeBorder(mask, padded, 1, 1, 1, 1, cv::BORDER_CONSTANT, cv::Scalar(0));
  cv::copyMakeBorder(height, paddedHeight, 1, 1, 1, 1, cv::BORDER_CONSTANT, cv::Scalar(0));
  return flood(mask, padded, paddedHeight, -1e30, -1e30, saddleShare, smallestDrop, cv::Point(0, 0), mask.size(), range);
}

}  // namespace corvale
