#pragma once
// PNG decoding and encoding through libpng, with the library's messages kept off
// standard error.

#include <cstdint>
#include <span>
#include <vector>

#include <opencv2/core.hpp>

namespace corvale {

// Decodes a PNG with its own depth and channels: grey as one channel, colour and
// palette as BGR, any transparency (an alpha channel or a tRNS chunk on a colour or
// palette image) as BGRA; 16-bit images stay 16-bit (CV_16U). The size is checked
// against `maxPixels` from the image header before anything is allocated. Warnings
// about ancillary chunks (colour profiles, text) are dropped; any error throws
// std::runtime_error with libpng's reason.
cv::Mat decodePng(std::span<const std::uint8_t> bytes, std::uint64_t maxPixels);

// Encodes an image of 1, 3 (BGR) or 4 (BGRA) channels, 8 or 16 bits, as PNG, tuned
// for speed. Throws std::runtime_error for an image that cannot be encoded.
std::vector<std::uint8_t> encodePng(const cv::Mat& image);

}  // namespace corvale
