#pragma once
// Synthetic plate photographs for the analysis benchmarks, written as JPEG files.

#include <filesystem>
#include <string>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

namespace corvale::bench {

// A grey bench, a red agar disc filling most of the frame, `colonies` cream colonies
// and some sensor noise, so that the JPEG costs what a real photograph costs.
inline cv::Mat platePhotograph(int width, int height, int colonies, std::uint64_t seed) {
  cv::Mat photo(height, width, CV_8UC3, cv::Scalar(60, 60, 60));
  const cv::Point centre(width / 2, height / 2);
  const int radius = std::min(width, height) * 45 / 100;
  cv::circle(photo, centre, radius, cv::Scalar(40, 50, 150), cv::FILLED);
  cv::RNG rng(seed);
  for (int i = 0; i < colonies; ++i) {
    const double angle = rng.uniform(0.0, CV_2PI);
    const double distance = 0.9 * radius * std::sqrt(rng.uniform(0.0, 1.0));
    const cv::Point at(centre.x + static_cast<int>(distance * std::cos(angle)),
                       centre.y + static_cast<int>(distance * std::sin(angle)));
    cv::circle(photo, at, rng.uniform(12, 30), cv::Scalar(200, 215, 225), cv::FILLED);
  }
  cv::Mat noise(photo.size(), CV_8UC3);
  rng.fill(noise, cv::RNG::NORMAL, 0, 6);
  cv::add(photo, noise, photo);
  return photo;
}

inline std::filesystem::path benchFolder(const std::string& name) {
  const auto folder = std::filesystem::temp_directory_path() / name;
  std::filesystem::create_directories(folder);
  return folder;
}

}  // namespace corvale::bench
