#include "analysis/dish_bounds.hpp"

#include <cstdlib>

namespace corvale {
namespace {

constexpr int differenceThreshold = 20;  // a pixel differs when |luma - level| > 20
constexpr int qualifyingCount = 16;      // a line qualifies with 16 differing pixels

std::int32_t lumaOf(double c0, double c1, double c2) {
  const double luma = (c1 * 0.587 + c0 * 0.114) + c2 * 0.299;
  return static_cast<std::int32_t>(luma);
}

// Luma straight from an 8-bit row: the common case, read without per-pixel dispatch.
std::int32_t lumaOf8(const std::uint8_t* pixel, int channels) {
  switch (channels) {
    case 1: return lumaOf(pixel[0], 0.0, 0.0);
    case 2: return lumaOf(pixel[0], pixel[1], 0.0);
    default: return lumaOf(pixel[0], pixel[1], pixel[2]);
  }
}

std::int32_t lumaAt(const cv::Mat& image, int row, int column) {
  if (image.depth() == CV_8U) {
    return lumaOf8(image.ptr<std::uint8_t>(row) + static_cast<std::ptrdiff_t>(column) * image.channels(),
                   image.channels());
  }
  return pixelLuma(image, row, column);
}

bool differs(std::int32_t luma, std::int32_t level) {
  return std::abs(static_cast<std::int64_t>(luma) - level) > differenceThreshold;
}

bool columnQualifies(const cv::Mat& image, int column, std::int32_t level) {
  int count = 0;
  for (int row = 0; row < image.rows; ++row) count += differs(lumaAt(image, row, column), level);
  return count >= qualifyingCount;
}

bool rowQualifies(const cv::Mat& image, int row, std::int32_t level) {
  int count = 0;
  for (int column = 0; column < image.cols; ++column) count += differs(lumaAt(image, row, column), level);
  return count >= qualifyingCount;
}

// The first line in `first`, `first + step`, ... up to and including `last` that
// qualifies, or nothing.
template <typename Qualifies>
std::optional<std::int32_t> scan(int first, int last, int step, Qualifies qualifies) {
  for (int line = first; step > 0 ? line <= last : line >= last; line += step) {
    if (qualifies(line)) return line;
  }
  return std::nullopt;
}

}  // namespace

std::int32_t pixelLuma(const cv::Mat& image, int row, int column) {
  double channel[3] = {0.0, 0.0, 0.0};
  const int channels = std::min(image.channels(), 3);
  const uchar* pixel = image.ptr(row) + static_cast<std::ptrdiff_t>(column) * image.elemSize();
  for (int c = 0; c < channels; ++c) {
    switch (image.depth()) {
      case CV_8U: channel[c] = reinterpret_cast<const std::uint8_t*>(pixel)[c]; break;
      case CV_8S: channel[c] = reinterpret_cast<const std::int8_t*>(pixel)[c]; break;
      case CV_16U: channel[c] = reinterpret_cast<const std::uint16_t*>(pixel)[c]; break;
      case CV_16S: channel[c] = reinterpret_cast<const std::int16_t*>(pixel)[c]; break;
      case CV_32S: channel[c] = reinterpret_cast<const std::int32_t*>(pixel)[c]; break;
      case CV_32F: channel[c] = reinterpret_cast<const float*>(pixel)[c]; break;
      case CV_64F: channel[c] = reinterpret_cast<const double*>(pixel)[c]; break;
      default: break;
    }
  }
  return lumaOf(channel[0], channel[1], channel[2]);
}

std::optional<std::int32_t> measureBackgroundLevel(const cv::Mat& image) {
  if (image.rows < minimumPhotographSide || image.cols < minimumPhotographSide) return std::nullopt;
  std::int64_t sum = 0;
  for (int row = 10; row <= 19; ++row)
    for (int column = 10; column <= 19; ++column) sum += lumaAt(image, row, column);
  return static_cast<std::int32_t>(sum / 100);
}

std::optional<DishBounds> findDishBounds(const cv::Mat& image, std::int32_t backgroundLevel) {
  const auto column = [&](int c) { return columnQualifies(image, c, backgroundLevel); };
  const auto row = [&](int r) { return rowQualifies(image, r, backgroundLevel); };
  const auto left = scan(1, image.cols - 1, 1, column);
  const auto right = scan(image.cols - 1, 1, -1, column);
  const auto top = scan(1, image.rows - 1, 1, row);
  const auto bottom = scan(image.rows - 1, 1, -1, row);
  if (!left || !right || !top || !bottom) return std::nullopt;
  return DishBounds{*left, *right, *top, *bottom};
}

}  // namespace corvale
