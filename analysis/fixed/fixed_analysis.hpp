#pragma once
// The fixed method: threshold 100 on the blue channel, regions in the pixel size
// range wholly inside the dish found by scanning in from the photograph's edges.

#include <opencv2/core.hpp>

#include "analysis/dish_analysis.hpp"

namespace corvale {

// Measures the background and the dish, labels channel 0 of the thresholded
// photograph (every channel above 100 becomes 200), keeps the regions in the colony
// size range that lie wholly inside the dish less its lip, and fills `result`'s
// background level, dish bounds, statistics and colonies (one lone colony per
// region). Throws std::runtime_error with the reason when there is no dish to count.
void analyseFixed(DishAnalysis& result, const cv::Mat& photograph, const AnalysisSettings& settings,
                  AnalysisBuffers& buffers);

// The thresholded photograph that the fixed method labels.
cv::Mat thresholdPhotograph(const cv::Mat& photograph);

}  // namespace corvale
