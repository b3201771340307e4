#include "analysis/io/image_header.hpp"

#include <algorithm>
#include <array>
#include <stdexcept>
#include <string>

namespace corvale {
namespace {

std::uint32_t bigEndian16(std::span<const std::uint8_t> bytes, std::size_t at) {
  return static_cast<std::uint32_t>(bytes[at]) << 8 | bytes[at + 1];
}

std::uint32_t bigEndian32(std::span<const std::uint8_t> bytes, std::size_t at) {
  return bigEndian16(bytes, at) << 16 | bigEndian16(bytes, at + 2);
}

// Start-of-frame markers: every SOFn except DHT (C4), JPG (C8) and DAC (CC).
bool isStartOfFrame(std::uint8_t marker) {
  return marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
}

// Markers that stand alone, without a length: TEM, RSTn, SOI and EOI.
bool standsAlone(std::uint8_t marker) { return marker == 0x01 || (marker >= 0xD0 && marker <= 0xD9); }

constexpr std::array<std::uint8_t, 6> exifIdentifier{'E', 'x', 'i', 'f', 0, 0};

// An APP1 segment may hold Exif or something else (XMP): Exif starts "Exif\0\0".
bool isExif(std::span<const std::uint8_t> segment) {
  return segment.size() >= exifIdentifier.size() &&
         std::equal(exifIdentifier.begin(), exifIdentifier.end(), segment.begin());
}

// The orientation tag of an Exif segment's first image directory; 1 when it holds
// no valid orientation.
int exifOrientation(std::span<const std::uint8_t> segment) {
  if (segment.size() < exifIdentifier.size() + 8) return 1;
  const std::span<const std::uint8_t> tiff = segment.subspan(exifIdentifier.size());
  const bool bigEndian = tiff[0] == 'M' && tiff[1] == 'M';
  if (!bigEndian && !(tiff[0] == 'I' && tiff[1] == 'I')) return 1;
  const auto read16 = [&](std::size_t at) {
    return bigEndian ? bigEndian16(tiff, at) : static_cast<std::uint32_t>(tiff[at + 1]) << 8 | tiff[at];
  };
  const auto read32 = [&](std::size_t at) {
    return bigEndian ? read16(at) << 16 | read16(at + 2) : read16(at + 2) << 16 | read16(at);
  };
  if (read16(2) != 42) return 1;
  const std::size_t directory = read32(4);
  if (directory > tiff.size() || tiff.size() - directory < 2) return 1;
  const std::size_t entries = read16(directory);
  for (std::size_t i = 0; i < entries; ++i) {
    const std::size_t entry = directory + 2 + 12 * i;
    if (entry + 12 > tiff.size()) break;
    if (read16(entry) != 0x0112) continue;
    const std::uint32_t value = read16(entry + 8);
    const bool valid = read16(entry + 2) == 3 && read32(entry + 4) == 1 && value >= 1 && value <= 8;
    return valid ? static_cast<int>(value) : 1;
  }
  return 1;
}

// Walks the JPEG's segments. After each start-of-scan the entropy-coded data is
// skipped up to the next marker that is neither a stuffed 0xFF00 nor a restart;
// the file is complete when the walk reaches the end-of-image marker.
ImageHeader readJpeg(std::span<const std::uint8_t> bytes) {
  ImageHeader header{ImageFormat::jpeg, 0, 0, false};
  bool sawFrame = false;
  bool sawExif = false;
  std::size_t at = 2;
  while (at + 1 < bytes.size()) {
    if (bytes[at] != 0xFF) return header;  // not a marker where one must stand
    const std::uint8_t marker = bytes[at + 1];
    if (marker == 0xFF) {  // fill byte before a marker
      ++at;
      continue;
    }
    at += 2;
    if (marker == 0xD9) {
      header.complete = true;
      return header;
    }
    if (standsAlone(marker)) continue;
    if (at + 2 > bytes.size()) return header;
    const std::size_t length = bigEndian16(bytes, at);
    if (length < 2 || at + length > bytes.size()) return header;
    if (isStartOfFrame(marker) && length >= 7 && !sawFrame) {
      header.height = bigEndian16(bytes, at + 3);
      header.width = bigEndian16(bytes, at + 5);
      sawFrame = true;
    }
    const std::span<const std::uint8_t> segment = bytes.subspan(at + 2, length - 2);
    if (marker == 0xE1 && !sawExif && isExif(segment)) {
      header.orientation = exifOrientation(segment);
      sawExif = true;
    }
    at += length;
    if (marker == 0xDA) {
      while (at + 1 < bytes.size() &&
             !(bytes[at] == 0xFF && bytes[at + 1] != 0x00 && !(bytes[at + 1] >= 0xD0 && bytes[at + 1] <= 0xD7)))
        ++at;
    }
  }
  return header;
}

ImageHeader readPng(std::span<const std::uint8_t> bytes) {
  ImageHeader header{ImageFormat::png, 0, 0, true};
  // The IHDR chunk comes first: length, "IHDR", width, height.
  constexpr std::array<std::uint8_t, 4> ihdr{'I', 'H', 'D', 'R'};
  if (bytes.size() >= 24 && std::equal(ihdr.begin(), ihdr.end(), bytes.begin() + 12)) {
    header.width = bigEndian32(bytes, 16);
    header.height = bigEndian32(bytes, 20);
  }
  return header;
}

}  // namespace

std::optional<ImageHeader> readImageHeader(std::span<const std::uint8_t> bytes) {
  constexpr std::array<std::uint8_t, 8> pngSignature{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  if (bytes.size() >= 3 && bytes[0] == 0xFF && bytes[1] == 0xD8 && bytes[2] == 0xFF) return readJpeg(bytes);
  if (bytes.size() >= pngSignature.size() && std::equal(pngSignature.begin(), pngSignature.end(), bytes.begin()))
    return readPng(bytes);
  return std::nullopt;
}

void requirePixelLimit(std::uint64_t width, std::uint64_t height, std::uint64_t maxPixels) {
  if (width * height <= maxPixels) return;
  throw std::runtime_error("the image is " + std::to_string(width) + " x " + std::to_string(height) +
                           " pixels, more than the limit of " + std::to_string(maxPixels / 1'000'000) + " megapixels");
}

}  // namespace corvale
