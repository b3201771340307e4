#include "analysis/image_outputs.hpp"

#include <stdexcept>

#include <opencv2/imgproc.hpp>

#include "analysis/fixed/fixed_analysis.hpp"
#include "blobs/rendering.hpp"

namespace corvale {
namespace {

void drawCrosses(cv::Mat& image, const DishAnalysis& analysis) {
  for (const Colony& colony : analysis.colonies)
    drawCross(image, cv::Point(static_cast<int>(colony.centre.x), static_cast<int>(colony.centre.y)));
}

void drawBoxes(cv::Mat& image, const DishAnalysis& analysis) {
  for (const Colony& colony : analysis.colonies) {
    Blob box;
    box.minX = static_cast<std::uint32_t>(colony.box.x);
    box.minY = static_cast<std::uint32_t>(colony.box.y);
    box.maxX = static_cast<std::uint32_t>(colony.box.x + colony.box.width - 1);
    box.maxY = static_cast<std::uint32_t>(colony.box.y + colony.box.height - 1);
    drawBoundingBox(image, box);
  }
}

}  // namespace

cv::Mat drawAnnotations(const DishAnalysis& analysis, bool boxes) {
  if (analysis.photograph.empty()) return {};
  cv::Mat annotated = colourPhotograph(analysis.photograph);
  if (annotated.data == analysis.photograph.data) annotated = annotated.clone();  // never draw on the photograph
  drawCrosses(annotated, analysis);
  if (boxes) drawBoxes(annotated, analysis);
  return annotated;
}

bool writeAnalysisImages(DishAnalysis& analysis, const ImageOutputs& outputs, const StageOutputs& stageOutputs) {
  if (!analysis.ok() || analysis.photograph.empty()) return analysis.ok();
  try {
    const bool adaptive = analysis.method == CountingMethod::adaptive;
    if (adaptive && !analysis.stages && (outputs.write || !stageOutputs.folder.empty()))
      throw std::logic_error("the adaptive method's stage images were not kept");
    const auto write = [&](std::string_view name, const cv::Mat& image) {
      if (outputs.write) writeJpeg(outputs.folder / (outputs.prefix + std::string(name)), image, analysis.orientation);
    };
    if (outputs.write) write("threshold.jpg", adaptive ? analysis.stages->mask : thresholdPhotograph(analysis.photograph));
    cv::Mat annotated = drawAnnotations(analysis, false);
    write(outputImageNames[1], annotated);
    drawBoxes(annotated, analysis);
    write(outputImageNames[2], annotated);
    analysis.annotatedImage = annotated;

    if (adaptive && !stageOutputs.folder.empty()) {
      const AdaptiveStages& stages = *analysis.stages;
      const cv::Mat* images[] = {&stages.dish, &stages.background, &stages.contrast, &stages.mask, &annotated};
      static_assert(std::size(images) == std::size(stageImageNames));
      for (std::size_t i = 0; i < std::size(images); ++i) {
        const cv::Mat* image = images[i];
        const std::filesystem::path path = stageOutputs.folder / (stageOutputs.prefix + std::string(stageImageNames[i]));
        if (path.extension() == ".png") {
          writePng(path, *image);  // the mask, lossless
        } else {
          writeJpeg(path, *image, analysis.orientation);
        }
      }
    }
  } catch (const cv::Exception& error) {
    analysis.outputError = "an image cannot be drawn: " + error.err;
  } catch (const std::bad_alloc&) {
    analysis.outputError = "not enough memory to write the images";
  } catch (const std::exception& error) {
    analysis.outputError = error.what();
  }
  return !analysis.outputError;
}

}  // namespace corvale
