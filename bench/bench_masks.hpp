#pragma once
// Masks shared by the benchmarks: a 12-megapixel dish-like mask and random masks.

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

namespace corvale::bench {

inline constexpr int photoWidth = 4000;
inline constexpr int photoHeight = 3000;

// A bright dish-sized disc ring and a few hundred round colonies on black, the way
// a thresholded photograph of a plate looks.
inline cv::Mat dishLikeMask() {
  cv::Mat mask(photoHeight, photoWidth, CV_8UC1, cv::Scalar(0));
  cv::circle(mask, {photoWidth / 2, photoHeight / 2}, 1400, cv::Scalar(200), 12);
  cv::RNG rng(7);
  for (int i = 0; i < 400; ++i) {
    const double angle = rng.uniform(0.0, CV_2PI);
    const double radius = 1300.0 * std::sqrt(rng.uniform(0.0, 1.0));
    const cv::Point centre(photoWidth / 2 + static_cast<int>(radius * std::cos(angle)),
                           photoHeight / 2 + static_cast<int>(radius * std::sin(angle)));
    cv::circle(mask, centre, rng.uniform(8, 30), cv::Scalar(200), cv::FILLED);
  }
  return mask;
}

inline cv::Mat randomMask(double density) {
  cv::Mat noise(photoHeight, photoWidth, CV_32F);
  cv::RNG rng(11);
  rng.fill(noise, cv::RNG::UNIFORM, 0.0, 1.0);
  return noise < density;
}

}  // namespace corvale::bench
