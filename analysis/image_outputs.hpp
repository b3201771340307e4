#pragma once
// Writing an analysis's images: the thresholded photograph (threshold.jpg), the
// photograph with a cross on every colony (centroid.jpg) and the same with every
// colony's box added (bb.jpg), and for the adaptive method its stage images.

#include <filesystem>
#include <string>
#include <string_view>

#include <opencv2/core.hpp>

#include "analysis/dish_analysis.hpp"

namespace corvale {

// The names of the images after their prefix, in the order they are written.
inline constexpr std::string_view outputImageNames[] = {"threshold.jpg", "centroid.jpg", "bb.jpg"};
inline constexpr std::string_view stageImageNames[] = {"1-dish.jpg", "2-background.jpg", "3-contrast.jpg",
                                                       "4-mask.png", "5-colonies.jpg"};

// Where the images of one photograph go: <folder>/<prefix>threshold.jpg and so on.
struct ImageOutputs {
  bool write = true;
  std::filesystem::path folder = ".";
  std::string prefix;
};

// Where the adaptive method's stage images go: <folder>/<prefix><n>-<stage>.jpg.
struct StageOutputs {
  std::filesystem::path folder;  // empty: no stage images
  std::string prefix;
};

// The photograph in colour with a cross on every colony and every colony's box.
// `boxes` false: the crosses only.
cv::Mat drawAnnotations(const DishAnalysis& analysis, bool boxes = true);

// Writes the images of an analysed photograph and keeps the annotated photograph in
// `annotatedImage`. A write that fails sets `outputError` (the file and the reason)
// and writes nothing further; the numbers stay. Does nothing for a failed analysis.
// Returns true when everything asked for was written.
bool writeAnalysisImages(DishAnalysis& analysis, const ImageOutputs& outputs, const StageOutputs& stages = {});

}  // namespace corvale
