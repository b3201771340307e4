#pragma once
// Locating the dish: the background grey level and the first lines, scanning in
// from each side, that differ clearly from it.

#include <cstdint>
#include <optional>

#include <opencv2/core.hpp>

namespace corvale {

// The dish's edges in pixel coordinates; width is right - left, height bottom - top.
struct DishBounds {
  std::int32_t left = 0;
  std::int32_t right = 0;
  std::int32_t top = 0;
  std::int32_t bottom = 0;
};

// The background patch: rows and columns 10 to 19. Smaller photographs have none.
inline constexpr int minimumPhotographSide = 20;

// Luma of one pixel, (green * 0.587 + blue * 0.114) + red * 0.299 in that order,
// truncated. Channels the image lacks count as 0, so a one-channel image gives
// 0.114 * value. Any OpenCV depth is read as its numeric value.
std::int32_t pixelLuma(const cv::Mat& image, int row, int column);

// The whole part of the mean luma over rows and columns 10 to 19, or nothing for a
// photograph smaller than 20 x 20 pixels.
std::optional<std::int32_t> measureBackgroundLevel(const cv::Mat& image);

// Scans columns from the left (starting at 1) and from the right, then rows from the
// top (starting at 1) and from the bottom, for the first line in which 16 or more
// pixels differ from the background level by more than 20. Nothing when any of the
// four scans finds no such line.
std::optional<DishBounds> findDishBounds(const cv::Mat& image, std::int32_t backgroundLevel);

}  // namespace corvale
