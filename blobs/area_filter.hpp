#pragma once
#include <cstdint>

#include "blobs/blob.hpp"

namespace corvale {

// Removes (and deletes) every blob whose area is outside [minArea, maxArea].
void filterBlobsByArea(BlobTable& blobs, std::uint32_t minArea, std::uint32_t maxArea);

}  // namespace corvale
