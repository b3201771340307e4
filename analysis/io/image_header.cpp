#include "analysis/io/image_header.hpp"

#include <algorithm>
#include <array>

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

// Walks the JPEG's segments. After each start-of-scan the entropy-coded data is
// skipped up to the next marker that is neither a stuffed 0xFF00 nor a restart;
// the file is complete when the walk reaches the end-of-image marker.
ImageHeader readJpeg(std::span<const std::uint8_t> bytes) {
  ImageHeader header{ImageFormat::jpeg, 0, 0, false};
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
    if (isStartOfFrame(marker) && length >= 7) {
      header.height = bigEndian16(bytes, at + 3);
      header.width = bigEndian16(bytes, at + 5);
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

}  // namespace corvale
