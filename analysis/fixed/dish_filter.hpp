#pragma once
#include <cstdint>

#include <opencv2/core/types.hpp>

#include "blobs/blob.hpp"

namespace corvale {

// Removes (and deletes) every blob whose bounding box is not wholly inside the dish
// circle less its lip. The circle is centred on the middle of `dishRect` (integer
// halves) with radius (width + height) / 4; a box corner passes when its distance
// from the centre, truncated, is less than radius - lip.
void filterBlobsByDish(BlobTable& blobs, std::int32_t lip, cv::Rect dishRect);

}  // namespace corvale
