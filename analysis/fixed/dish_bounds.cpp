#include "analysis/fixed/dish_bounds.hpp"

#include <algorithm>
#include <cstdlib>
#include <numeric>

namespace corvale {
namespace {

constexpr int differenceThreshold = 20;  // a pixel differs when |luma - level| > 20
constexpr int qualifyingCount = 16;      // a line qualifies with 16 differing pixels
constexpr int blockWidth = 256;          // pixels judged together along a row

std::int32_t lumaOf(double c0, double c1, double c2) {
  const double luma = (c1 * 0.587 + c0 * 0.114) + c2 * 0.299;
  return static_cast<std::int32_t>(luma);
}

// The three products of every 8-bit value, so that an 8-bit pixel's luma costs two
// additions; the products are the same doubles the formula forms.
struct LumaProducts {
  double blue[256], green[256], red[256];
  LumaProducts() {
    for (int v = 0; v < 256; ++v) {
      blue[v] = v * 0.114;
      green[v] = v * 0.587;
      red[v] = v * 0.299;
    }
  }
};
const LumaProducts products;

bool differs(std::int32_t luma, std::int32_t level) {
  return std::abs(static_cast<std::int64_t>(luma) - level) > differenceThreshold;
}

// Adds 1 to counts[i] for each of the `width` 8-bit pixels from (row, column)
// rightwards that differs from the background level. The luma sum x is never
// negative, so its truncation differs by more than 20 from the level exactly when
// x >= level + 21 or x < level - 20: no conversion to an integer is needed.
template <int Channels>
void countDiffering8(const cv::Mat& image, int row, int column, int width, std::int32_t level, int* counts) {
  const double high = static_cast<double>(level) + differenceThreshold + 1;
  const double low = static_cast<double>(level) - differenceThreshold;
  const int step = image.channels();
  const std::uint8_t* pixel = image.ptr<std::uint8_t>(row) + static_cast<std::ptrdiff_t>(column) * step;
  for (int i = 0; i < width; ++i, pixel += step) {
    const double c1 = Channels > 1 ? products.green[pixel[1]] : 0.0;
    const double c2 = Channels > 2 ? products.red[pixel[2]] : 0.0;
    const double luma = (c1 + products.blue[pixel[0]]) + c2;
    counts[i] += (luma >= high) | (luma < low);
  }
}

void countDiffering(const cv::Mat& image, int row, int column, int width, std::int32_t level, int* counts) {
  if (image.depth() == CV_8U) {
    switch (image.channels()) {
      case 1: return countDiffering8<1>(image, row, column, width, level, counts);
      case 2: return countDiffering8<2>(image, row, column, width, level, counts);
      default: return countDiffering8<3>(image, row, column, width, level, counts);
    }
  }
  for (int i = 0; i < width; ++i) counts[i] += differs(pixelLuma(image, row, column + i), level);
}

// The first qualifying row of first, first + step, ... up to and including last.
std::optional<std::int32_t> scanRows(const cv::Mat& image, std::int32_t level, int first, int last, int step) {
  int counts[blockWidth];
  for (int row = first; step > 0 ? row <= last : row >= last; row += step) {
    int count = 0;
    for (int column = 0; column < image.cols; column += blockWidth) {
      const int width = std::min(blockWidth, image.cols - column);
      std::fill(counts, counts + width, 0);
      countDiffering(image, row, column, width, level, counts);
      count = std::accumulate(counts, counts + width, count);
    }
    if (count >= qualifyingCount) return row;
  }
  return std::nullopt;
}

// The same for columns. Columns are judged a block at a time, walking the block row by
// row, so that memory is read in order; the answer is still the first qualifying
// column in scan order, and at most one block of columns is examined beyond it.
std::optional<std::int32_t> scanColumns(const cv::Mat& image, std::int32_t level, int first, int last, int step) {
  int counts[blockWidth];
  for (int start = first; step > 0 ? start <= last : start >= last; start += step * blockWidth) {
    const int width = std::min(blockWidth, (step > 0 ? last - start : start - last) + 1);
    const int leftmost = step > 0 ? start : start - width + 1;
    std::fill(counts, counts + width, 0);
    for (int row = 0; row < image.rows; ++row) {
      // The block's pixels a few rows down, fetched ahead: rows lie far apart in memory.
      if (row + 8 < image.rows) {
        const std::uint8_t* ahead = image.ptr<std::uint8_t>(row + 8) + image.elemSize() * leftmost;
        for (std::size_t offset = 0; offset < image.elemSize() * width; offset += 64) __builtin_prefetch(ahead + offset);
      }
      countDiffering(image, row, leftmost, width, level, counts);
    }
    for (int k = 0; k < width; ++k) {
      const int i = step > 0 ? k : width - 1 - k;
      if (counts[i] >= qualifyingCount) return leftmost + i;
    }
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
    for (int column = 10; column <= 19; ++column) sum += pixelLuma(image, row, column);
  return static_cast<std::int32_t>(sum / 100);
}

std::optional<DishBounds> findDishBounds(const cv::Mat& image, std::int32_t backgroundLevel) {
  const auto left = scanColumns(image, backgroundLevel, 1, image.cols - 1, 1);
  const auto right = scanColumns(image, backgroundLevel, image.cols - 1, 1, -1);
  const auto top = scanRows(image, backgroundLevel, 1, image.rows - 1, 1);
  const auto bottom = scanRows(image, backgroundLevel, image.rows - 1, 1, -1);
  if (!left || !right || !top || !bottom) return std::nullopt;
  return DishBounds{*left, *right, *top, *bottom};
}

}  // namespace corvale
