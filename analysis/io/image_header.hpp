#pragma once
// What a photograph's file says about itself before it is decoded: its format, its
// size in pixels and, for JPEG, whether the file holds all of its image data.

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
};

// Reads the header of a JPEG or PNG file; nothing for any other content.
std::optional<ImageHeader> readImageHeader(std::span<const std::uint8_t> bytes);

}  // namespace corvale
