// Arbitrary small photographs with arbitrary settings: the analysis must never crash,
// must give the same result twice, and whatever it counts must make sense.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>

#include <opencv2/imgproc.hpp>

#include "analysis/adaptive/adaptive_analysis.hpp"
#include "analysis/dish_analysis.hpp"
#include "analysis/report/text_report.hpp"
#include "blobs/labeling.hpp"

namespace {

void require(bool condition) {
  if (!condition) std::abort();
}

bool sameColonies(const std::vector<corvale::Colony>& a, const std::vector<corvale::Colony>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i].region != b[i].region || a[i].area != b[i].area || a[i].box != b[i].box || a[i].centre != b[i].centre)
      return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const int width = input.ConsumeIntegralInRange(1, 64);
  const int height = input.ConsumeIntegralInRange(1, 64);
  const int channels = input.PickValueInArray({1, 3, 4});
  corvale::AnalysisSettings settings;
  settings.minColonyArea = input.ConsumeIntegral<std::int32_t>();
  settings.maxColonyArea = input.ConsumeIntegral<std::int32_t>();
  settings.dishLip = input.ConsumeIntegral<std::int32_t>();
  settings.dishDiameterMm = input.ConsumeIntegral<std::int32_t>();
  cv::Mat photograph(height, width, CV_MAKETYPE(CV_8U, channels), cv::Scalar::all(0));
  const std::vector<std::uint8_t> pixels = input.ConsumeBytes<std::uint8_t>(photograph.total() * channels);
  std::copy(pixels.begin(), pixels.end(), photograph.data);

  // The labeller against OpenCV's on the blue channel as a mask.
  cv::Mat mask;
  cv::extractChannel(photograph, mask, 0);
  corvale::LabelImage labels(mask.size(), CV_32SC1);
  corvale::BlobTable blobs;
  corvale::labelBlobs(mask, labels, blobs);
  cv::Mat theirs;
  require(static_cast<int>(blobs.size()) + 1 == cv::connectedComponents(mask, theirs, 4, CV_32S));
  corvale::releaseBlobs(blobs);

  corvale::AnalysisBuffers buffers;
  const cv::Mat before = photograph.clone();
  const corvale::DishAnalysis first = corvale::analysePhotograph(photograph, "fuzz.jpg", corvale::CountingMethod::fixed, settings, {}, &buffers);
  const corvale::DishAnalysis second = corvale::analysePhotograph(photograph, "fuzz.jpg", corvale::CountingMethod::fixed, settings, {}, &buffers);
  require(cv::norm(before, photograph, cv::NORM_INF) == 0.0);  // the input is never drawn on
  require(corvale::formatReport(first, "\n") == corvale::formatReport(second, "\n"));
  require(sameColonies(first.colonies, second.colonies));
  // The adaptive method on the same picture, in colour.
  if (channels == 3) {
    const corvale::AdaptiveCount adaptive = corvale::countColoniesAdaptive(photograph);
    require(adaptive.colonyPixels >= 0);
    for (const corvale::Colony& colony : adaptive.colonies)
      require(colony.centre.x >= 0 && colony.centre.y >= 0 && colony.centre.x < width && colony.centre.y < height);
  }

  if (!first.ok()) return 0;

  const corvale::ColonyStatistics& s = *first.statistics;
  require(s.colonyCount >= 0 && s.estimatedYeasts >= 0 && s.percentage >= 0.0);
  require(static_cast<std::size_t>(s.colonyCount) == first.colonies.size());
  require(s.colonyCount == 0 || s.estimatedYeasts >= 1);
  for (const corvale::Colony& colony : first.colonies) {
    require(colony.box.x >= 0 && colony.box.width >= 1 && colony.box.x + colony.box.width <= width);
    require(colony.box.y >= 0 && colony.box.height >= 1 && colony.box.y + colony.box.height <= height);
    require(colony.area >= 1 && colony.area <= colony.box.area());
  }
  return 0;
}
