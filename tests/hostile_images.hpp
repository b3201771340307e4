#pragma once
// Hostile image files built from sound ones: a JPEG whose first frame header claims
// a size its data does not have, a progressive JPEG that repeats one scan, and a
// checkerboard that breaks into a region per two pixels. Shared by the tests and by
// the program that writes them as files (fuzz corpus, measurements).

#include <cstdint>
#include <utility>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

namespace corvale::testing {

using Bytes = std::vector<std::uint8_t>;

// The offset of the first segment with `marker` (the 0xFF byte), or 0. Walks the
// segments before the first scan only.
inline std::size_t findSegment(const Bytes& jpeg, std::uint8_t marker) {
  std::size_t at = 2;
  while (at + 4 <= jpeg.size() && jpeg[at] == 0xFF) {
    if (jpeg[at + 1] == marker) return at;
    if (jpeg[at + 1] == 0xDA) return 0;
    at += 2 + (jpeg[at + 2] << 8 | jpeg[at + 3]);
  }
  return 0;
}

inline std::size_t segmentEnd(const Bytes& jpeg, std::size_t segment) {
  return segment + 2 + (jpeg[segment + 2] << 8 | jpeg[segment + 3]);
}

// The end of the entropy-coded data that starts at `at`: the next marker that is
// neither a stuffed 0xFF00 nor a restart.
inline std::size_t scanDataEnd(const Bytes& jpeg, std::size_t at) {
  while (at + 1 < jpeg.size() &&
         !(jpeg[at] == 0xFF && jpeg[at + 1] != 0x00 && !(jpeg[at + 1] >= 0xD0 && jpeg[at + 1] <= 0xD7)))
    ++at;
  return at;
}

// A grey-green gradient, so that every block has data.
inline cv::Mat gradient(int side) {
  cv::Mat image(side, side, CV_8UC3);
  for (int y = 0; y < side; ++y)
    for (int x = 0; x < side; ++x)
      image.at<cv::Vec3b>(y, x) = cv::Vec3b(static_cast<std::uint8_t>(x * 255 / side), 120,
                                            static_cast<std::uint8_t>(y * 255 / side));
  return image;
}

// A baseline side x side JPEG whose first frame header claims width x height; the
// real frame header follows the image data, just before the end of the image.
inline Bytes twoFrameJpeg(int side, std::uint16_t width, std::uint16_t height) {
  Bytes jpeg;
  cv::imencode(".jpg", gradient(side), jpeg);
  const std::size_t frame = findSegment(jpeg, 0xC0);
  const Bytes realFrame(jpeg.begin() + static_cast<long>(frame), jpeg.begin() + static_cast<long>(segmentEnd(jpeg, frame)));
  jpeg[frame + 5] = static_cast<std::uint8_t>(height >> 8), jpeg[frame + 6] = static_cast<std::uint8_t>(height);
  jpeg[frame + 7] = static_cast<std::uint8_t>(width >> 8), jpeg[frame + 8] = static_cast<std::uint8_t>(width);
  jpeg.insert(jpeg.end() - 2, realFrame.begin(), realFrame.end());
  return jpeg;
}

// A progressive JPEG of `image` with `scans` scans: its first scan (the DC
// coefficients of every component), then its second (the first AC band of the first
// component, with the Huffman table before it) repeated, both at full precision,
// then the end. Every repeat is a valid scan that passes over the whole image again;
// on a flat image it takes a few bytes.
inline Bytes manyScanJpeg(const cv::Mat& image, int scans) {
  Bytes jpeg;
  cv::imencode(".jpg", image, jpeg, {cv::IMWRITE_JPEG_PROGRESSIVE, 1});
  // The segments from `at` up to the next scan, and that scan with its data at full
  // precision.
  const auto piece = [&](std::size_t at) {
    std::size_t scan = at;
    while (!(jpeg[scan] == 0xFF && jpeg[scan + 1] == 0xDA)) scan = segmentEnd(jpeg, scan);
    const std::size_t dataStart = segmentEnd(jpeg, scan);
    Bytes bytes(jpeg.begin() + static_cast<long>(scan), jpeg.begin() + static_cast<long>(scanDataEnd(jpeg, dataStart)));
    bytes[dataStart - scan - 1] = 0x00;  // successive approximation off: Ah = Al = 0
    return std::pair{Bytes(jpeg.begin() + static_cast<long>(at), jpeg.begin() + static_cast<long>(scan)), bytes};
  };
  const std::size_t first = findSegment(jpeg, 0xDA);
  const auto [headers, dc] = piece(first);
  const auto [tables, ac] = piece(first + dc.size());
  Bytes file(jpeg.begin(), jpeg.begin() + static_cast<long>(first));
  file.insert(file.end(), dc.begin(), dc.end());
  file.insert(file.end(), tables.begin(), tables.end());
  for (int i = 1; i < scans; ++i) file.insert(file.end(), ac.begin(), ac.end());
  file.push_back(0xFF);
  file.push_back(0xD9);
  return file;
}

// A side x side checkerboard of single pixels: a plate-sized dark frame around it
// lets the fixed method find a dish, so that every other pixel inside is a region.
inline cv::Mat checkerboardPlate(int side) {
  cv::Mat photo(side, side, CV_8UC3, cv::Scalar(30, 30, 30));
  cv::Mat dish = photo(cv::Rect(side / 10, side / 10, side * 8 / 10, side * 8 / 10));
  for (int y = 0; y < dish.rows; ++y)
    for (int x = 0; x < dish.cols; ++x)
      dish.at<cv::Vec3b>(y, x) = (x + y) % 2 == 0 ? cv::Vec3b(220, 220, 220) : cv::Vec3b(40, 60, 160);
  return photo;
}

}  // namespace corvale::testing
