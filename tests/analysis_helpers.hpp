#pragma once
// Analysing a photograph and writing its images in one call, as the tests of whole
// runs need it.

#include <filesystem>
#include <string>

#include "analysis/dish_analysis.hpp"
#include "analysis/image_outputs.hpp"

namespace corvale::testing {

inline DishAnalysis analyseAndWrite(const std::string& path, const AnalysisSettings& settings,
                                    const ImageOutputs& outputs, CountingMethod method = CountingMethod::fixed,
                                    const PhotographLimits& limits = {}, AnalysisBuffers* buffers = nullptr) {
  DishAnalysis result = analysePhotographFile(path, method, settings, RunOptions{limits, true}, buffers);
  writeAnalysisImages(result, outputs);
  if (result.ok() && result.annotatedImage.empty()) result.annotatedImage = drawAnnotations(result);
  return result;
}

}  // namespace corvale::testing
