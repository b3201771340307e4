#pragma once
// The lightness of a colour photograph, as OpenCV's 8-bit Lab conversion gives it.

#include <opencv2/core.hpp>

namespace corvale {

// The L channel of cv::cvtColor(bgr, lab, cv::COLOR_BGR2Lab) for an 8-bit BGR image,
// bit for bit, without the a and b channels the counting does not use: three table
// look-ups and a sum per pixel, where OpenCV works out all three channels.
void lightnessOf(const cv::Mat& bgr, cv::Mat& lightness);

}  // namespace corvale
