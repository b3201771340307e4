#pragma once
// What a photograph's file says about itself before it is decoded: its format, its
// size in pixels and, for JPEG, whether the file holds all of its image data and how
// the photograph is to be turned for viewing.

#include <cstdint>
#include <optional>
#include <span>

namespace corvale {

enum class ImageFormat { jpeg, png };

struct ImageHeader {
  ImageFormat format;
  std::uint32_t width = 0;   // 0 when the file ends before its size is given
  std::uint32_t height = 0;
  bool complete = true;      // JPEG: the image data runs up to the end-of-image marker
  int orientation = 1;       // JPEG: the EXIF orientation tag, 1 to 8 (1 when absent)
};

// Reads the header of a JPEG or PNG file; nothing for any other content. Of a JPEG
// with several frame headers, the size is the first one's, as libjpeg decodes it.
std::optional<ImageHeader> readImageHeader(std::span<const std::uint8_t> bytes);

// Throws std::runtime_error saying the size and the limit when width x height is
// more than `maxPixels`.
void requirePixelLimit(std::uint64_t width, std::uint64_t height, std::uint64_t maxPixels);

}  // namespace corvale
