#include "analysis/fixed/fixed_analysis.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include <opencv2/imgproc.hpp>

#include "analysis/fixed/dish_filter.hpp"
#include "blobs/area_filter.hpp"
#include "blobs/labeling.hpp"

namespace corvale {
namespace {

constexpr double thresholdLevel = 100.0;
constexpr double thresholdValue = 200.0;

// Releases the table's records however the run ends.
struct ReleaseOnExit {
  BlobTable& blobs;
  ~ReleaseOnExit() { releaseBlobs(blobs); }
};

Colony colonyOf(const Blob& blob) {
  Colony colony;
  colony.centre = {blob.centroidX, blob.centroidY};
  colony.area = blob.area;
  colony.radius = std::sqrt(blob.area / CV_PI);
  colony.box = cv::Rect(static_cast<int>(blob.minX), static_cast<int>(blob.minY),
                        static_cast<int>(blob.maxX - blob.minX + 1), static_cast<int>(blob.maxY - blob.minY + 1));
  colony.kind = ColonyKind::lone;
  colony.region = blob.label;
  return colony;
}

}  // namespace

cv::Mat thresholdPhotograph(const cv::Mat& photograph) {
  cv::Mat thresholded;
  cv::threshold(photograph, thresholded, thresholdLevel, thresholdValue, cv::THRESH_BINARY);
  return thresholded;
}

void analyseFixed(DishAnalysis& result, const cv::Mat& photograph, const AnalysisSettings& settings,
                  AnalysisBuffers& buffers) {
  result.backgroundLevel = measureBackgroundLevel(photograph);
  result.dishBounds = findDishBounds(photograph, *result.backgroundLevel);
  if (!result.dishBounds) throw std::runtime_error("no dish found: no edge stands out from the background");
  const DishBounds& bounds = *result.dishBounds;
  const std::int32_t dishWidth = bounds.right - bounds.left;
  const std::int32_t dishHeight = bounds.bottom - bounds.top;
  if (!(dishAreaPixels(dishWidth, dishHeight) > 0.0)) throw std::runtime_error("the dish found is too small to measure");

  // The thresholded photograph and the label image share one block: once its first
  // channel is copied out, the thresholded photograph is no longer needed.
  const int pixelBytes = static_cast<int>(std::max<std::size_t>(photograph.elemSize(), sizeof(std::uint32_t)));
  if (buffers.workspace.total() < photograph.total() * pixelBytes)
    buffers.workspace.create(photograph.rows, photograph.cols * pixelBytes, CV_8UC1);
  cv::Mat thresholdImage(photograph.size(), photograph.type(), buffers.workspace.data);
  cv::threshold(photograph, thresholdImage, thresholdLevel, thresholdValue, cv::THRESH_BINARY);
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
  for (const auto& entry : blobs) result.colonies.push_back(colonyOf(*entry.second));
}

}  // namespace corvale
