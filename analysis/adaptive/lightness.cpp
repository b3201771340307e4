#include "analysis/adaptive/lightness.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <stdexcept>

namespace corvale {
namespace {

// OpenCV's 8-bit conversion in fixed point: each channel through the sRGB curve to
// 8 times its linear value, the luminance Y a weighted sum of the three at 12 bits,
// L from a 15-bit table of Y's cube root.
constexpr int gammaShift = 3;
constexpr int weightShift = 12;
constexpr int cubeRootShift = 15;
constexpr int largestY = 255 << gammaShift;

struct Tables {
  std::array<std::int32_t, 256> blue{}, green{}, red{};  // each channel's share of Y, at 12 bits
  std::array<std::uint8_t, largestY + 1> lightness{};     // L from Y
};

Tables makeTables() {
  Tables tables;
  // The luminance weights of sRGB's red, green and blue, in 12 bits.
  const int weightRed = static_cast<int>(std::lrint(0.212671 * (1 << weightShift)));
  const int weightGreen = static_cast<int>(std::lrint(0.715160 * (1 << weightShift)));
  const int weightBlue = static_cast<int>(std::lrint(0.072169 * (1 << weightShift)));
  for (int v = 0; v < 256; ++v) {
    const double x = v / 255.0;
    const double linear = x <= 0.04045 ? x / 12.92 : std::pow((x + 0.055) / 1.055, 2.4);
    const auto value = static_cast<std::int32_t>(std::lrint(255.0 * (1 << gammaShift) * linear));
    tables.blue[static_cast<std::size_t>(v)] = value * weightBlue;
    tables.green[static_cast<std::size_t>(v)] = value * weightGreen;
    tables.red[static_cast<std::size_t>(v)] = value * weightRed;
  }
  const int scale = (116 * 255 + 50) / 100;
  const int shift = -((16 * 255 * (1 << cubeRootShift) + 50) / 100);
  for (int y = 0; y <= largestY; ++y) {
    const double x = static_cast<double>(y) / largestY;
    const double root = x < 0.008856 ? x * 7.787 + 16.0 / 116.0 : std::cbrt(x);
    const auto f = static_cast<int>(std::lrint((1 << cubeRootShift) * root));
    const int lightness = (scale * f + shift + (1 << (cubeRootShift - 1))) >> cubeRootShift;
    tables.lightness[static_cast<std::size_t>(y)] = static_cast<std::uint8_t>(std::clamp(lightness, 0, 255));
  }
  return tables;
}

}  // namespace

void lightnessOf(const cv::Mat& bgr, cv::Mat& lightness) {
  if (bgr.type() != CV_8UC3) throw std::invalid_argument("lightnessOf: the photograph must be 8-bit BGR");
  static const Tables tables = makeTables();
  lightness.create(bgr.size(), CV_8UC1);
  for (int y = 0; y < bgr.rows; ++y) {
    const std::uint8_t* pixel = bgr.ptr<std::uint8_t>(y);
    std::uint8_t* out = lightness.ptr<std::uint8_t>(y);
    for (int x = 0; x < bgr.cols; ++x, pixel += 3) {
      const std::int32_t sum = tables.blue[pixel[0]] + tables.green[pixel[1]] + tables.red[pixel[2]];
      out[x] = tables.lightness[static_cast<std::size_t>((sum + (1 << (weightShift - 1))) >> weightShift)];
    }
  }
}

}  // namespace corvale
