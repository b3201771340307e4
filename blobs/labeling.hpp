#pragma once
// Connected-component labelling of a binary mask into a label image and a blob table.

#include <cstdint>

#include <opencv2/core.hpp>

#include "blobs/blob.hpp"

namespace corvale {

// A one-channel image of 4-byte cells (CV_32SC1), each read and written as an
// unsigned 32-bit label: 0 for background, otherwise the label of the pixel's blob.
using LabelImage = cv::Mat;

// A plate photograph has a few thousand regions at most (colonies, dust, agar grain);
// the labeller refuses more than one region per 64 pixels, with a floor for small
// images. A 12-megapixel photograph may hold 187500 regions, a 10000 x 10000
// checkerboard of single pixels (50 million regions, some 15 GB of records) is refused.
inline constexpr std::uint64_t pixelsPerRegion = 64;
inline constexpr std::uint64_t minRegionLimit = 65536;
std::uint64_t maxRegionCount(std::uint64_t pixels);

// Labels the 4-connected regions of nonzero pixels of `mask` (CV_8UC1).
//
// Every pixel of `labelImage` (CV_32S, at least the mask's size) is overwritten,
// and `blobs` is emptied (entries only: a table that still owns records must be
// released first) and filled with one record per region, complete with area,
// bounding box, raw moments and centroid.
//
// Labels follow a two-pass raster scan with union-find: provisional labels 1, 2, 3...
// are taken in raster order of each provisional region's first pixel, and a region
// keeps the provisional label of its union-find root, where the root with the larger
// rank wins a union and, on equal ranks, the root of the upper neighbour wins.
//
// Returns the number of foreground pixels. On a wrong format it writes one line to
// standard error, changes nothing and raises ImageFormatError. A mask that starts more than
// maxRegionCount(pixels of the mask) regions in its raster scan is refused with
// std::runtime_error before the label image is written; the table is left empty.
std::uint32_t labelBlobs(const cv::Mat& mask, LabelImage& labelImage, BlobTable& blobs);

}  // namespace corvale
