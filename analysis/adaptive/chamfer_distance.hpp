#pragma once
// The distance from each pixel of a mask to the nearest pixel outside it, by OpenCV's
// 5x5 chamfer (steps of 1, 1.4 and 2.1969 pixels across, diagonally and by a knight's
// move). OpenCV works it out pixel by pixel, branching on every neighbour; here each
// row's neighbours above (or below) are taken for the whole row at once, and the step
// along the row becomes a running minimum, eight pixels at a time where the processor
// has AVX2.

#include <opencv2/core.hpp>

namespace corvale {

// `distance` (CV_32F, the size of `mask`) for `mask` (CV_8UC1, set where not zero):
// bit for bit what cv::distanceTransform(mask, distance, cv::DIST_L2, cv::DIST_MASK_5)
// gives, the frame's edge standing for nothing beyond it.
void chamferDistance(const cv::Mat& mask, cv::Mat& distance);

}  // namespace corvale
