#include "blobs/area_filter.hpp"

namespace corvale {

void filterBlobsByArea(BlobTable& blobs, std::uint32_t minArea, std::uint32_t maxArea) {
  for (auto it = blobs.begin(); it != blobs.end();) {
    const std::uint32_t area = it->second->area;
    if (minArea <= area && area <= maxArea) {
      ++it;
    } else {
      it = eraseBlob(blobs, it);
    }
  }
}

}  // namespace corvale
