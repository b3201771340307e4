#include "blobs/moments.hpp"

#include <cmath>
#include <cstdint>

#include "blobs/format_error.hpp"

namespace corvale {

void computeCentralMoments(Blob& blob, const LabelImage& labelImage) {
  if (blob.centralMomentsComputed) return;
  if (labelImage.depth() != CV_32S || labelImage.channels() != 1 ||
      blob.maxX >= static_cast<std::uint32_t>(labelImage.cols) ||
      blob.maxY >= static_cast<std::uint32_t>(labelImage.rows)) {
    raiseFormatError("Error: Image format.");
  }
  double u11 = 0.0;
  double u20 = 0.0;
  double u02 = 0.0;
  for (std::uint32_t y = blob.minY; y <= blob.maxY; ++y) {
    const auto* cells = labelImage.ptr<std::uint32_t>(static_cast<int>(y));
    const double dy = static_cast<double>(y) - blob.centroidY;
    for (std::uint32_t x = blob.minX; x <= blob.maxX; ++x) {
      if (cells[x] != blob.label) continue;
      const double dx = static_cast<double>(x) - blob.centroidX;
      u11 += dx * dy;
      u20 += dx * dx;
      u02 += dy * dy;
    }
  }
  blob.u11 = u11;
  blob.u20 = u20;
  blob.u02 = u02;
  blob.centralMomentsComputed = true;
}

double blobAngle(const Blob& blob) {
  if (!blob.centralMomentsComputed) {
    raiseFormatError("Error: Central moments aren't calculated.");
  }
  return 0.5 * std::atan2(2.0 * blob.u11, blob.u20 - blob.u02);
}

}  // namespace corvale
