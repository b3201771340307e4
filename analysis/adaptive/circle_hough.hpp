#pragma once
// Circles by the gradient Hough transform, as OpenCV finds them, in less time.

#include <vector>

#include <opencv2/core.hpp>

namespace corvale {

// The circles cv::HoughCircles(grey, circles, cv::HOUGH_GRADIENT, 1.0, minDistance,
// cannyHigh, votes, minRadius, maxRadius) gives for an 8-bit grey image: the same
// circles (x, y, radius, votes) in the same order. OpenCV works out each candidate
// centre's distances to every edge point in floating point and bins them one by one;
// here centres sit on half pixels and edge points on whole ones, so the distances are
// exact in single precision and are binned four or eight at a time (or looked up in a
// table made once). That holds for images and radii up to 1024 pixels: larger ones,
// and arguments OpenCV refuses, are left to OpenCV.
std::vector<cv::Vec4f> houghCircles(const cv::Mat& grey, double minDistance, double cannyHigh, double votes,
                                    int minRadius, int maxRadius);

}  // namespace corvale
