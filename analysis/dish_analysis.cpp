#include "analysis/dish_analysis.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "analysis/adaptive/adaptive_analysis.hpp"
#include "analysis/fixed/dish_filter.hpp"
#include "analysis/io/image_files.hpp"
#include "analysis/report/text_report.hpp"
#include "blobs/area_filter.hpp"
#include "blobs/rendering.hpp"

namespace corvale {
namespace {

constexpr double thresholdLevel = 100.0;
constexpr double thresholdValue = 200.0;

// Releases the table's records however the run ends.
struct ReleaseOnExit {
  BlobTable& blobs;
  ~ReleaseOnExit() { releaseBlobs(blobs); }
};

// A failure of this photograph: the message becomes the result's error.
struct PhotographFailure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// A stage image for the user to look at; the format follows the name's extension.
void writeJpegOrPng(const std::filesystem::path& path, const cv::Mat& image) {
  bool written = false;
  try {
    written = cv::imwrite(path.string(), image);
  } catch (const cv::Exception&) {
  }
  if (!written) throw PhotographFailure(path.string() + ": cannot be written");
}

void writeImage(const ImageOutputs& outputs, const char* name, const cv::Mat& image) {
  if (!outputs.write) return;
  writeJpeg(outputs.folder / (outputs.prefix + name), image);
}

// The photograph as a three-channel colour image to draw the annotations on.
cv::Mat colourCopy(const cv::Mat& photograph) {
  cv::Mat colour;
  switch (photograph.channels()) {
    case 1: cv::cvtColor(photograph, colour, cv::COLOR_GRAY2BGR); break;
    case 3: colour = photograph.clone(); break;
    case 4: cv::cvtColor(photograph, colour, cv::COLOR_BGRA2BGR); break;
    default: {
      cv::Mat first;
      cv::extractChannel(photograph, first, 0);
      cv::cvtColor(first, colour, cv::COLOR_GRAY2BGR);
    }
  }
  return colour;
}

// Only 8-bit photographs of at least 20 x 20 pixels can be analysed.
void requireAnalysable(const cv::Mat& photograph) {
  if (photograph.depth() != CV_8U) {
    throw PhotographFailure("the image has " + std::to_string(photograph.elemSize1() * 8) +
                            " bits per channel; only 8-bit photographs can be analysed");
  }
  if (photograph.rows < minimumPhotographSide || photograph.cols < minimumPhotographSide)
    throw PhotographFailure("the photograph is smaller than 20 x 20 pixels");
}

// The fixed-threshold analysis. `drawOnPhotograph`: the caller no longer needs the
// photograph as it was, so a colour photograph takes the annotations itself.
void analyse(DishAnalysis& result, const cv::Mat& photograph, bool drawOnPhotograph, const AnalysisSettings& settings,
             const ImageOutputs& outputs, AnalysisBuffers& buffers) {
  requireAnalysable(photograph);
  result.backgroundLevel = measureBackgroundLevel(photograph);
  result.dishBounds = findDishBounds(photograph, *result.backgroundLevel);
  if (!result.dishBounds) throw PhotographFailure("no dish found: no edge stands out from the background");
  const DishBounds& bounds = *result.dishBounds;
  const std::int32_t dishWidth = bounds.right - bounds.left;
  const std::int32_t dishHeight = bounds.bottom - bounds.top;
  if (!(dishAreaPixels(dishWidth, dishHeight) > 0.0))
    throw PhotographFailure("the dish found is too small to measure");

  const int pixelBytes = static_cast<int>(std::max<std::size_t>(photograph.elemSize(), sizeof(std::uint32_t)));
  if (buffers.workspace.total() < photograph.total() * pixelBytes)
    buffers.workspace.create(photograph.rows, photograph.cols * pixelBytes, CV_8UC1);
  cv::Mat thresholdImage(photograph.size(), photograph.type(), buffers.workspace.data);
  cv::threshold(photograph, thresholdImage, thresholdLevel, thresholdValue, cv::THRESH_BINARY);
  writeImage(outputs, "threshold.jpg", thresholdImage);
  cv::extractChannel(thresholdImage, buffers.channelImage, 0);
  LabelImage labelImage(photograph.size(), CV_32SC1, buffers.workspace.data);

  BlobTable blobs;
  ReleaseOnExit release{blobs};
  labelBlobs(buffers.channelImage, labelImage, blobs);
  filterBlobsByArea(blobs, static_cast<std::uint32_t>(settings.minColonyArea),
                    static_cast<std::uint32_t>(settings.maxColonyArea));
  filterBlobsByDish(blobs, settings.dishLip, cv::Rect(bounds.left, bounds.top, dishWidth, dishHeight));
  result.statistics = computeColonyStatistics(blobs, settings.dishDiameterMm, dishWidth, dishHeight);
  result.colonies.reserve(blobs.size());
  for (const auto& entry : blobs) result.colonies.push_back(*entry.second);

  cv::Mat annotated = drawOnPhotograph && photograph.channels() == 3 ? photograph : colourCopy(photograph);
  renderBlobs(labelImage, renderCentroid, blobs, annotated);
  writeImage(outputs, "centroid.jpg", annotated);
  renderBlobs(labelImage, renderBoundingBox, blobs, annotated);
  writeImage(outputs, "bb.jpg", annotated);
  result.annotatedImage = annotated;
}

template <typename Step>
DishAnalysis runGuarded(const std::string& imagePath, Step&& step) {
  DishAnalysis result;
  result.imagePath = imagePath;
  try {
    step(result);
  } catch (const cv::Exception& error) {
    result.error = "the image library failed: " + error.err;
  } catch (const std::bad_alloc&) {
    result.error = "not enough memory to analyse the photograph";
  } catch (const std::exception& error) {
    result.error = error.what();
  }
  return result;
}

}  // namespace

DishAnalysis analysePhotograph(const cv::Mat& photograph, const std::string& imagePath,
                               const AnalysisSettings& settings, const ImageOutputs& outputs,
                               AnalysisBuffers& buffers) {
  return runGuarded(imagePath, [&](DishAnalysis& result) { analyse(result, photograph, false, settings, outputs, buffers); });
}

DishAnalysis analyseDish(const std::string& imagePath, const AnalysisSettings& settings,
                         const ImageOutputs& outputs, AnalysisBuffers& buffers, const PhotographLimits& limits) {
  return runGuarded(imagePath, [&](DishAnalysis& result) {
    const cv::Mat photograph = loadPhotograph(imagePath, limits);
    analyse(result, photograph, true, settings, outputs, buffers);
  });
}

DishAnalysis analyseDish(const std::string& imagePath, const AnalysisSettings& settings,
                         const ImageOutputs& outputs) {
  AnalysisBuffers buffers;
  return analyseDish(imagePath, settings, outputs, buffers);
}

DishAnalysis analyseDishAdaptive(const std::string& imagePath, const AnalysisSettings& settings,
                                 const ImageOutputs& outputs, const PhotographLimits& limits,
                                 const std::filesystem::path& debugFolder) {
  return runGuarded(imagePath, [&](DishAnalysis& result) {
    const cv::Mat photograph = loadPhotograph(imagePath, limits);
    requireAnalysable(photograph);
    cv::Mat colour = photograph.channels() == 3 ? photograph : colourCopy(photograph);

    AdaptiveStages stages;
    const bool keepStages = outputs.write || !debugFolder.empty();
    const AdaptiveCount count = countColoniesAdaptive(colour, keepStages ? &stages : nullptr);
    const double radius = count.dish.radius;
    result.backgroundLevel = static_cast<std::int32_t>(count.agarLightness);
    result.dishBounds = DishBounds{static_cast<std::int32_t>(count.dish.centre.x - radius),
                                   static_cast<std::int32_t>(count.dish.centre.x + radius),
                                   static_cast<std::int32_t>(count.dish.centre.y - radius),
                                   static_cast<std::int32_t>(count.dish.centre.y + radius)};
    const double usableArea = CV_PI * count.usableRadius * count.usableRadius;
    const double mm2PerPixel = std::pow(settings.dishDiameterMm / (2.0 * radius), 2.0);
    ColonyStatistics statistics;
    statistics.colonyCount = static_cast<std::int32_t>(count.colonies.size());
    statistics.percentage = usableArea > 0.0 ? 100.0 * static_cast<double>(count.colonyPixels) / usableArea : 0.0;
    statistics.colonyAreaMm2 = static_cast<double>(count.colonyPixels) * mm2PerPixel;
    statistics.medianColonyAreaMm2 = count.typicalArea * mm2PerPixel;
    statistics.estimatedYeasts =
        count.typicalArea > 0.0 ? static_cast<std::int32_t>(std::lround(count.colonyPixels / count.typicalArea)) : 0;
    result.statistics = statistics;
    result.flags = count.flags;

    cv::Mat annotated = colour;  // the photograph was loaded here: drawing on it costs no copy
    if (outputs.write) writeImage(outputs, "threshold.jpg", stages.mask);
    for (const Colony& colony : count.colonies) drawCross(annotated, cv::Point(colony.centre));
    writeImage(outputs, "centroid.jpg", annotated);
    for (const Colony& colony : count.colonies) cv::rectangle(annotated, colony.box, cv::Scalar(0, 0, 255));
    writeImage(outputs, "bb.jpg", annotated);

    if (!debugFolder.empty()) {
      const std::string stem = std::filesystem::path(imagePath).stem().string();
      const std::pair<const char*, const cv::Mat*> images[] = {
          {".1-dish.jpg", &stages.dish},         {".2-background.jpg", &stages.background},
          {".3-contrast.jpg", &stages.contrast}, {".4-mask.png", &stages.mask},
          {".5-colonies.jpg", &annotated}};
      for (const auto& [suffix, image] : images) writeJpegOrPng(debugFolder / (stem + suffix), *image);
    }
    result.annotatedImage = annotated;
  });
}

std::string formatReport(const DishAnalysis& analysis, std::string_view lineEnd) {
  if (analysis.error) return formatFailureReport(analysis.imagePath, *analysis.error, lineEnd);
  std::string report = formatReport(analysis.imagePath, *analysis.statistics, lineEnd);
  for (const std::string& flag : analysis.flags) report.append("Warning: ").append(flag).append(lineEnd);
  return report;
}

}  // namespace corvale
