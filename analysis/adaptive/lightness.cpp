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
  std::array<std::int32_t, 256> linear{};                 // each channel's linear value, 8 times
  std::array<std::int32_t, largestY + 1> cubeRoot{};      // of X, Y or Z, at 15 bits
  std::array<std::int32_t, 3> weightX{}, weightZ{};       // blue, green, red: X and Z over the white point's, at 12 bits
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
    tables.linear[static_cast<std::size_t>(v)] = value;
  }
  // sRGB's red, green and blue in X and Z, over D65's white.
  const auto weight = [](double share, double white) { return static_cast<std::int32_t>(std::lrint(share * (1 << weightShift) / white)); };
  tables.weightX = {weight(0.180423, 0.950456), weight(0.357580, 0.950456), weight(0.412453, 0.950456)};
  tables.weightZ = {weight(0.950227, 1.088754), weight(0.119193, 1.088754), weight(0.019334, 1.088754)};
  const int scale = (116 * 255 + 50) / 100;
  const int shift = -((16 * 255 * (1 << cubeRootShift) + 50) / 100);
  for (int y = 0; y <= largestY; ++y) {
    const double x = static_cast<double>(y) / largestY;
    const double root = x < 0.008856 ? x * 7.787 + 16.0 / 116.0 : std::cbrt(x);
    const auto f = static_cast<int>(std::lrint((1 << cubeRootShift) * root));
    tables.cubeRoot[static_cast<std::size_t>(y)] = f;
    const int lightness = (scale * f + shift + (1 << (cubeRootShift - 1))) >> cubeRootShift;
    tables.lightness[static_cast<std::size_t>(y)] = static_cast<std::uint8_t>(std::clamp(lightness, 0, 255));
  }
  return tables;
}

const Tables& tables() {
  static const Tables made = makeTables();
  return made;
}

std::int32_t descale(std::int32_t value, int shift) { return (value + (1 << (shift - 1))) >> shift; }

}  // namespace

void lightnessOf(const cv::Mat& bgr, cv::Mat& lightness) {
  if (bgr.type() != CV_8UC3) throw std::invalid_argument("lightnessOf: the photograph must be 8-bit BGR");
  const Tables& t = tables();
  lightness.create(bgr.size(), CV_8UC1);
  for (int y = 0; y < bgr.rows; ++y) {
    const std::uint8_t* pixel = bgr.ptr<std::uint8_t>(y);
    std::uint8_t* out = lightness.ptr<std::uint8_t>(y);
    for (int x = 0; x < bgr.cols; ++x, pixel += 3) {
      const std::int32_t sum = t.blue[pixel[0]] + t.green[pixel[1]] + t.red[pixel[2]];
      out[x] = t.lightness[static_cast<std::size_t>(descale(sum, weightShift))];
    }
  }
}

void labOf(const cv::Mat& bgr, cv::Mat& lab) {
  if (bgr.type() != CV_8UC3) throw std::invalid_argument("labOf: the photograph must be 8-bit BGR");
  const Tables& t = tables();
  lab.create(bgr.size(), CV_8UC3);
  for (int y = 0; y < bgr.rows; ++y) {
    const std::uint8_t* pixel = bgr.ptr<std::uint8_t>(y);
    std::uint8_t* out = lab.ptr<std::uint8_t>(y);
    for (int x = 0; x < bgr.cols; ++x, pixel += 3, out += 3) {
      const std::int32_t b = t.linear[pixel[0]], g = t.linear[pixel[1]], r = t.linear[pixel[2]];
      const std::int32_t sumY = t.blue[pixel[0]] + t.green[pixel[1]] + t.red[pixel[2]];
      const std::int32_t fx = t.cubeRoot[static_cast<std::size_t>(descale(b * t.weightX[0] + g * t.weightX[1] + r * t.weightX[2], weightShift))];
      const std::int32_t fy = t.cubeRoot[static_cast<std::size_t>(descale(sumY, weightShift))];
      const std::int32_t fz = t.cubeRoot[static_cast<std::size_t>(descale(b * t.weightZ[0] + g * t.weightZ[1] + r * t.weightZ[2], weightShift))];
      out[0] = t.lightness[static_cast<std::size_t>(descale(sumY, weightShift))];
      out[1] = cv::saturate_cast<std::uint8_t>(descale(500 * (fx - fy) + 128 * (1 << cubeRootShift), cubeRootShift));
      out[2] = cv::saturate_cast<std::uint8_t>(descale(200 * (fy - fz) + 128 * (1 << cubeRootShift), cubeRootShift));
    }
  }
}

}  // namespace corvale
