#pragma once
// Drawing blob annotations onto a colour image.

#include <cstdint>

#include <opencv2/core.hpp>

#include "blobs/blob.hpp"
#include "blobs/labeling.hpp"

namespace corvale {

// What renderBlobs draws for each blob; flags combine with |, other bits are ignored.
using RenderMode = std::uint16_t;
inline constexpr RenderMode renderLabel = 0x0001;        // "ID<label> Area<area>" at the centroid
inline constexpr RenderMode renderCentroid = 0x0002;     // a 13-pixel cross on the centroid
inline constexpr RenderMode renderBoundingBox = 0x0004;  // the bounding box outline
inline constexpr RenderMode renderAngle = 0x0008;        // a line along the main axis

// Draws the selected annotations of every blob, in ascending label order, onto
// `outputImage` (CV_8UC3) in place. Within one blob the text is drawn first, then
// the box, the orientation line and the cross. The table is taken by value: the
// copy shares the caller's records and deletes none; under renderAngle the records
// gain cached central moments computed from `labelImage`. A label image that is not
// CV_32SC1 or an output that is not CV_8UC3 is refused with one line on standard
// error and an ImageFormatError, before anything is drawn.
void renderBlobs(const LabelImage& labelImage, RenderMode mode, BlobTable blobs,
                 cv::Mat& outputImage);

// The centroid cross that renderBlobs draws: 13 pixels each way, centred on `centre`.
void drawCross(cv::Mat& image, cv::Point centre);

// The bounding-box outline that renderBlobs draws, both corners inclusive.
void drawBoundingBox(cv::Mat& image, const Blob& blob);

}  // namespace corvale
