#pragma once
// Dilating and eroding 8-bit images by a wide disc. OpenCV takes the maximum over
// every pixel of its elliptic structuring element, some thousand of them for a disc
// forty pixels across; the same maximum taken row by row of the disc costs a few
// dozen operations per pixel whatever its size.

#include <opencv2/core.hpp>

namespace corvale {

// `source` (CV_8UC1) dilated or eroded by the disc that
// cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(2 * radius + 1, 2 * radius + 1))
// makes, centred, once, with OpenCV's default border (what lies beyond the image takes
// no part): bit for bit what cv::dilate and cv::erode give. `result` may be `source`;
// where it already has the size and type (a view into a larger image), it is written
// in place, as OpenCV does.
void dilateDisc(const cv::Mat& source, cv::Mat& result, int radius);
void erodeDisc(const cv::Mat& source, cv::Mat& result, int radius);

// Opening (erosion, then dilation) and closing (dilation, then erosion) by that disc,
// as cv::morphologyEx gives them.
void openDisc(const cv::Mat& source, cv::Mat& result, int radius);
void closeDisc(const cv::Mat& source, cv::Mat& result, int radius);

}  // namespace corvale
