#include "analysis/fixed/dish_filter.hpp"

#include <cstdlib>

namespace corvale {
namespace {

struct Circle {
  std::int64_t centreX;
  std::int64_t centreY;
  std::int64_t allowed;  // corners must lie closer than this
};

// A truncated distance below `allowed` is the same as a squared distance below
// allowed^2. A corner with either offset at least `allowed` fails outright, so the
// squared distance is only formed where it fits comfortably in 64 bits.
bool cornerInside(const Circle& circle, std::uint32_t x, std::uint32_t y) {
  if (circle.allowed <= 0) return false;
  const std::int64_t dx = std::llabs(static_cast<std::int64_t>(x) - circle.centreX);
  const std::int64_t dy = std::llabs(static_cast<std::int64_t>(y) - circle.centreY);
  if (dx >= circle.allowed || dy >= circle.allowed) return false;
  return dx * dx + dy * dy < circle.allowed * circle.allowed;
}

bool boxInside(const Circle& circle, const Blob& blob) {
  return cornerInside(circle, blob.minX, blob.minY) && cornerInside(circle, blob.minX, blob.maxY) &&
         cornerInside(circle, blob.maxX, blob.minY) && cornerInside(circle, blob.maxX, blob.maxY);
}

}  // namespace

void filterBlobsByDish(BlobTable& blobs, std::int32_t lip, cv::Rect dishRect) {
  const std::int64_t radius = (static_cast<std::int64_t>(dishRect.width) + dishRect.height) / 4;
  const Circle circle{static_cast<std::int64_t>(dishRect.x) + dishRect.width / 2,
                      static_cast<std::int64_t>(dishRect.y) + dishRect.height / 2, radius - lip};
  for (auto it = blobs.begin(); it != blobs.end();) {
    it = boxInside(circle, *it->second) ? std::next(it) : eraseBlob(blobs, it);
  }
}

}  // namespace corvale
