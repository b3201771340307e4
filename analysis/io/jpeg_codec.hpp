#pragma once
// JPEG decoding and encoding through libjpeg-turbo, with every message of the library
// turned into the photograph's own error instead of a line on standard error.

#include <cstdint>
#include <span>
#include <vector>

#include <opencv2/core.hpp>

namespace corvale {

// More scans than any camera or encoder writes (a progressive JPEG has about ten);
// a file that repeats scans past this is refused instead of decoded for minutes.
inline constexpr int maxJpegScans = 300;

// Decodes a JPEG as it is stored: one channel (CV_8UC1) for a grey image, otherwise
// BGR (CV_8UC3); CMYK is converted to BGR. The size the decoder will produce is
// checked against `maxPixels` before anything is allocated. Throws std::runtime_error
// for a size above the limit, arithmetic coding, more than maxJpegScans scans, any
// corrupt-data warning and any decoding error, with the decoder's reason.
cv::Mat decodeJpeg(std::span<const std::uint8_t> bytes, std::uint64_t maxPixels);

// Encodes an 8-bit image of 1, 3 (BGR) or 4 (BGRA, alpha dropped) channels as a
// baseline JPEG at `quality`, with 2x2 chroma subsampling. An orientation of 2 to 8
// is written as a minimal APP1 Exif segment holding only that tag. Throws
// std::runtime_error for an image that cannot be encoded.
std::vector<std::uint8_t> encodeJpeg(const cv::Mat& image, int orientation = 1, int quality = 95);

}  // namespace corvale
