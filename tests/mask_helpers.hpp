#pragma once
// Small masks drawn as text ('#' foreground, anything else background), random
// masks, and stderr capture for the format messages.

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>

#include <opencv2/core.hpp>

#include "blobs/format_error.hpp"

namespace corvale::testing {

inline cv::Mat maskFromRows(std::initializer_list<const char*> rows) {
  const int height = static_cast<int>(rows.size());
  const int width = height == 0 ? 0 : static_cast<int>(std::string(*rows.begin()).size());
  cv::Mat mask(height, width, CV_8UC1, cv::Scalar(0));
  int y = 0;
  for (const char* row : rows) {
    for (int x = 0; x < width; ++x) mask.at<std::uint8_t>(y, x) = row[x] == '#' ? 255 : 0;
    ++y;
  }
  return mask;
}

inline cv::Mat randomMask(cv::RNG& rng, int height, int width, double density) {
  cv::Mat noise(height, width, CV_32F);
  rng.fill(noise, cv::RNG::UNIFORM, 0.0, 1.0);
  return noise < density;
}

// Runs `action` and returns what it wrote to standard error. A format error that
// it raised after writing its message ends the action, as it ends any caller.
template <typename Action>
std::string stderrOf(Action&& action) {
  ::testing::internal::CaptureStderr();
  try {
    action();
  } catch (const ImageFormatError&) {
  }
  return ::testing::internal::GetCapturedStderr();
}

}  // namespace corvale::testing
