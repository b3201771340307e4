#include "analysis/adaptive/agar_background.hpp"
#include "analysis/adaptive/dish_circle.hpp"
#include "analysis/adaptive/disc_morphology.hpp"
#include "analysis/adaptive/mask_patches.hpp"

#include <algorithm>
#include <array>
#include <cmath>

#include <opencv2/imgproc.hpp>

namespace corvale {
namespace {

constexpr double reducedDiameter = 200.0;  // the dish across on the reduced copy, pixels
constexpr double outlierSpreads = 3.0;     // pixels this many noise spreads off the agar are left out

double median8(const cv::Mat& image, const cv::Mat& mask) {
  std::array<std::int64_t, 256> histogram{};
  std::int64_t total = 0;
  for (int y = 0; y < image.rows; ++y) {
    const auto* value = image.ptr<std::uint8_t>(y);
    const auto* inside = mask.ptr<std::uint8_t>(y);
    for (int x = 0; x < image.cols; ++x)
      if (inside[x] != 0) ++histogram[value[x]], ++total;
  }
  std::int64_t seen = 0;
  for (int v = 0; v < 256; ++v) {
    seen += histogram[v];
    if (2 * seen >= total && total > 0) return v;
  }
  return 128.0;
}

// `a - b - less`, CV_16S, for two 8-bit images of one size and `less` within ±255:
// what cv::subtract gives with a 16-bit result, in a loop the compiler builds for
// vectors, where OpenCV's conversion between the types took several times as long over
// a whole photograph.
cv::Mat differenceOf(const cv::Mat& a, const cv::Mat& b, int less = 0) {
  cv::Mat difference(a.size(), CV_16SC1);
  for (int y = 0; y < a.rows; ++y) {
    const auto* first = a.ptr<std::uint8_t>(y);
    const auto* second = b.ptr<std::uint8_t>(y);
    auto* out = difference.ptr<std::int16_t>(y);
    for (int x = 0; x < a.cols; ++x) out[x] = static_cast<std::int16_t>(first[x] - second[x] - less);
  }
  return difference;
}

// The peak inside `mask` of the contrast that `row(y)` gives for each row (a function
// of a column returning the contrast there), and the spread from the narrower of its
// two sides: the median distance from the peak on one side is 0.6745 standard
// deviations.
template <typename Row>
std::pair<double, double> peakAndSpread(const cv::Mat& mask, Row row) {
  // Counted into four histograms in turn: neighbouring pixels mostly fall in one bin,
  // and counting them into one would wait on each count before the next. Each row
  // from its first set pixel to its last (a dish's row is one run), and pixels outside
  // the mask there to a bin of their own.
  std::array<std::array<std::int32_t, 512>, 4> counts{};
  for (int y = 0; y < mask.rows; ++y) {
    const auto value = row(y);
    const auto* inside = mask.ptr<std::uint8_t>(y);
    const auto [first, last] = setColumns(inside, mask.cols);
    const auto bin = [&](int at) {
      return inside[at] != 0 ? static_cast<std::size_t>(std::clamp(value(at) + 255, 0, 510)) : std::size_t{511};
    };
    int x = first;
    for (; x + 4 <= last + 1; x += 4)
      ++counts[0][bin(x)], ++counts[1][bin(x + 1)], ++counts[2][bin(x + 2)], ++counts[3][bin(x + 3)];
    for (; x <= last; ++x) ++counts[0][bin(x)];
  }
  std::array<std::int64_t, 511> histogram{};
  for (std::size_t i = 0; i < histogram.size(); ++i)
    for (const auto& count : counts) histogram[i] += count[i];
  const auto peak = static_cast<int>(std::max_element(histogram.begin(), histogram.end()) - histogram.begin());
  const auto halfWidth = [&](int step) {
    std::int64_t side = 0;
    for (int i = peak; i >= 0 && i <= 510; i += step) side += histogram[static_cast<std::size_t>(i)];
    std::int64_t seen = 0;
    for (int i = peak; i >= 0 && i <= 510; i += step) {
      seen += histogram[static_cast<std::size_t>(i)];
      if (2 * seen >= side) return std::abs(i - peak);
    }
    return 0;
  };
  return {peak - 255, std::max(0.5, std::min(halfWidth(-1), halfWidth(1)) / 0.6745)};
}

// `image` (CV_32F) smoothed by a Gaussian of `sigma`, edges replicated. A Gaussian
// this wide is worked out on a copy reduced by whole steps of some sigma/5 pixels: what
// it leaves varies over tens of pixels, which the reduced grid samples with no visible
// loss (the Gaussian passes nothing near that grid's finest wave), at a small share of
// the cost of a kernel well over a hundred pixels wide. The step's own averaging is
// taken off the smaller Gaussian, so that the two together are as wide as `sigma`.
cv::Mat smoothWide(const cv::Mat& image, double sigma) {
  cv::Mat smooth;
  const int step = std::max(1, static_cast<int>(sigma / 5.0));
  if (step == 1) {
    cv::GaussianBlur(image, smooth, cv::Size(), sigma, sigma, cv::BORDER_REPLICATE);
    return smooth;
  }
  cv::Mat padded, reduced;
  cv::copyMakeBorder(image, padded, 0, (step - image.rows % step) % step, 0, (step - image.cols % step) % step,
                     cv::BORDER_REPLICATE);
  cv::resize(padded, reduced, cv::Size(padded.cols / step, padded.rows / step), 0, 0, cv::INTER_AREA);
  const double reducedSigma = std::sqrt(sigma * sigma - (step * step - 1) / 12.0) / step;
  cv::GaussianBlur(reduced, reduced, cv::Size(), reducedSigma, reducedSigma, cv::BORDER_REPLICATE);
  cv::resize(reduced, smooth, padded.size(), 0, 0, cv::INTER_LINEAR);
  return smooth(cv::Rect(0, 0, image.cols, image.rows));
}

// Smoothing of `image` over the pixels where `weight` is set only.
cv::Mat smoothWhere(const cv::Mat& image, const cv::Mat& weight, double sigma, double fallback) {
  cv::Mat values, weights;
  weight.convertTo(weights, CV_32F, 1.0 / 255.0);
  image.convertTo(values, CV_32F);
  values = values.mul(weights);
  values = smoothWide(values, sigma);
  weights = smoothWide(weights, sigma);
  cv::Mat result(image.size(), CV_8UC1);
  for (int y = 0; y < image.rows; ++y) {
    const auto* v = values.ptr<float>(y);
    const auto* w = weights.ptr<float>(y);
    auto* out = result.ptr<std::uint8_t>(y);
    for (int x = 0; x < image.cols; ++x)
      out[x] = cv::saturate_cast<std::uint8_t>(w[x] > 1e-3f ? v[x] / w[x] : fallback);
  }
  return result;
}

}  // namespace

AgarModel estimateAgar(const cv::Mat& lightness, const cv::Mat& dish, double dishDiameter) {
  AgarModel model;
  const double scale = std::min(1.0, reducedDiameter / std::max(1.0, dishDiameter));
  cv::Mat small, smallDish;
  resizeBy(lightness, small, scale, cv::INTER_AREA);
  cv::resize(dish, smallDish, small.size(), 0, 0, cv::INTER_NEAREST);
  model.lightness = median8(small, smallDish);
  const double diameter = dishDiameter * scale;

  // The first guess: a grey opening wider than any colony, which shaves off every
  // lighter feature however much of the dish they cover, as long as agar shows
  // within a fifth of the dish of every point.
  cv::Mat filled = small.clone();
  filled.setTo(cv::Scalar(model.lightness), smallDish == 0);
  cv::Mat background;
  const int ball = std::max(3, static_cast<int>(diameter / 5.0) | 1);
  openDisc(filled, background, ball / 2);
  // Smoothed in floating point: OpenCV's 8-bit smoothing is many times slower with a
  // kernel this wide.
  cv::Mat smooth;
  background.convertTo(smooth, CV_32F);
  smoothWide(smooth, std::max(1.0, diameter / 10.0)).convertTo(background, CV_8U);
  for (int round = 0; round < 2; ++round) {
    const cv::Mat contrast = differenceOf(small, background);
    const auto [peak, spread] = peakAndSpread(smallDish, [&contrast](int y) {
      const auto* value = contrast.ptr<std::int16_t>(y);
      return [value](int x) { return static_cast<int>(value[x]); };
    });
    cv::Mat off = cv::abs(contrast - peak) > std::max(outlierSpreads * spread, 4.0);
    cv::dilate(off, off, cv::Mat());
    const cv::Mat agar = smallDish & ~off;
    background = smoothWhere(small, agar, std::max(1.0, diameter / 10.0), model.lightness);
  }
  cv::resize(background, model.background, lightness.size(), 0, 0, cv::INTER_LINEAR);
  // The contrast's level is counted from the lightness and the background as they are
  // read, and the contrast less it written once: over a whole photograph, writing the
  // contrast and reading it twice more took longer than working it out twice.
  const auto [level, noise] = peakAndSpread(dish, [&](int y) {
    const auto* value = lightness.ptr<std::uint8_t>(y);
    const auto* agar = model.background.ptr<std::uint8_t>(y);
    return [value, agar](int x) { return value[x] - agar[x]; };
  });
  model.level = level;
  model.noise = noise;
  model.fromLevel = differenceOf(lightness, model.background, static_cast<int>(level));
  return model;
}

}  // namespace corvale
