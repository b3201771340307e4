#pragma once
// The lightness and colour of a photograph, as OpenCV's 8-bit Lab conversion gives them.

#include <opencv2/core.hpp>

namespace corvale {

// The L channel of cv::cvtColor(bgr, lab, cv::COLOR_BGR2Lab) for an 8-bit BGR image,
// bit for bit, without the a and b channels the counting does not use: three table
// look-ups and a sum per pixel, where OpenCV works out all three channels.
void lightnessOf(const cv::Mat& bgr, cv::Mat& lightness);

// Lab for an 8-bit BGR image with OpenCV's fixed-point arithmetic, from the same tables:
// L bit for bit as above, a and b off by one in a few thousandths of a percent of all
// colours. OpenCV builds tables for its conversion on first use that cost a tenth of a
// second, more than a whole analysis spends on colour.
void labOf(const cv::Mat& bgr, cv::Mat& lab);

}  // namespace corvale
