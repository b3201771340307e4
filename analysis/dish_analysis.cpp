#include "analysis/dish_analysis.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "analysis/fixed/fixed_analysis.hpp"
#include "analysis/io/sha256.hpp"
#include "analysis/report/text_report.hpp"

namespace corvale {
namespace {

// Only 8-bit photographs of at least 20 x 20 pixels can be analysed.
void requireAnalysable(const cv::Mat& photograph) {
  if (photograph.depth() != CV_8U) {
    throw std::runtime_error("the image has " + std::to_string(photograph.elemSize1() * 8) +
                             " bits per channel; only 8-bit photographs can be analysed");
  }
  if (photograph.rows < minimumPhotographSide || photograph.cols < minimumPhotographSide)
    throw std::runtime_error("the photograph is smaller than 20 x 20 pixels");
}

// The median of the located colonies' areas (estimates have no area of their own).
double medianLocatedArea(const std::vector<Colony>& colonies) {
  std::vector<double> areas;
  for (const Colony& colony : colonies)
    if (colony.kind != ColonyKind::estimated) areas.push_back(colony.area);
  if (areas.empty()) return 0.0;
  std::nth_element(areas.begin(), areas.begin() + static_cast<std::ptrdiff_t>(areas.size() / 2), areas.end());
  return areas[areas.size() / 2];
}

// The adaptive method finds the dish and the agar's shading on copies reduced to a few
// hundred pixels across; a frame far longer than it is wide would leave nothing of its
// short side there.
constexpr int maxAdaptiveAspectRatio = 100;

void analyseAdaptive(DishAnalysis& result, const cv::Mat& photograph, const AnalysisSettings& settings,
                     bool keepStages) {
  if (std::max(photograph.cols, photograph.rows) > maxAdaptiveAspectRatio * std::min(photograph.cols, photograph.rows)) {
    throw std::runtime_error("the photograph is " + std::to_string(photograph.cols) + " x " +
                             std::to_string(photograph.rows) +
                             " pixels: the adaptive method needs its long side at most " +
                             std::to_string(maxAdaptiveAspectRatio) + " times its short side");
  }
  AdaptiveStages stages;
  AdaptiveCount count = countColoniesAdaptive(colourPhotograph(photograph), keepStages ? &stages : nullptr);
  const double radius = count.dish.radius;
  result.adaptive = AdaptiveMeasures{count.dish.centre,   radius,      count.usableRadius, count.agarLightness,
                                     count.noise,         count.typicalArea, count.polarity};
  const double usableArea = count.usableArea;
  const double mm2PerPixel = radius > 0.0 ? std::pow(settings.dishDiameterMm / (2.0 * radius), 2.0) : 0.0;
  ColonyStatistics statistics;
  statistics.colonyCount = static_cast<std::int32_t>(count.colonies.size());
  statistics.percentage = usableArea > 0.0 ? 100.0 * static_cast<double>(count.colonyPixels) / usableArea : 0.0;
  statistics.colonyAreaMm2 = static_cast<double>(count.colonyPixels) * mm2PerPixel;
  statistics.medianColonyAreaMm2 = medianLocatedArea(count.colonies) * mm2PerPixel;
  statistics.estimatedYeasts =
      count.typicalArea > 0.0 ? static_cast<std::int32_t>(std::lround(count.colonyPixels / count.typicalArea)) : 0;
  result.statistics = statistics;
  result.colonies = std::move(count.colonies);
  result.flags = std::move(count.flags);
  if (keepStages) result.stages = std::move(stages);
}

// Runs `step`, turning whatever it throws into the result's error.
template <typename Step>
DishAnalysis runGuarded(const std::string& imagePath, CountingMethod method, const AnalysisSettings& settings,
                        Step&& step) {
  DishAnalysis result;
  result.imagePath = imagePath;
  result.method = method;
  result.settings = settings;
  try {
    step(result);
  } catch (const cv::Exception& error) {
    result.error = "the image library failed: " + error.err;
  } catch (const std::bad_alloc&) {
    result.error = "not enough memory to analyse the photograph";
  } catch (const std::exception& error) {
    result.error = error.what();
  }
  if (result.error) result.releaseImages();
  return result;
}

void analyse(DishAnalysis& result, const cv::Mat& photograph, const RunOptions& options, AnalysisBuffers* buffers) {
  requireAnalysable(photograph);
  result.photograph = photograph;
  if (result.method == CountingMethod::adaptive) {
    analyseAdaptive(result, photograph, result.settings, options.keepStages);
  } else {
    AnalysisBuffers local;
    analyseFixed(result, photograph, result.settings, buffers != nullptr ? *buffers : local);
  }
}

}  // namespace

DishAnalysis analysePhotographFile(const std::string& imagePath, CountingMethod method,
                                   const AnalysisSettings& settings, const RunOptions& options,
                                   AnalysisBuffers* buffers) {
  return runGuarded(imagePath, method, settings, [&](DishAnalysis& result) {
    const std::vector<std::uint8_t> bytes = readPhotographFile(imagePath, options.limits);
    result.sha256 = sha256Hex(bytes);
    analyse(result, decodePhotograph(bytes, options.limits, &result.orientation), options, buffers);
  });
}

DishAnalysis analysePhotograph(const cv::Mat& photograph, const std::string& imagePath, CountingMethod method,
                               const AnalysisSettings& settings, const RunOptions& options,
                               AnalysisBuffers* buffers) {
  return runGuarded(imagePath, method, settings,
                    [&](DishAnalysis& result) { analyse(result, photograph, options, buffers); });
}

std::string formatReport(const DishAnalysis& analysis, std::string_view lineEnd) {
  if (analysis.error) return formatFailureReport(analysis.imagePath, *analysis.error, lineEnd);
  std::string report = formatReport(analysis.imagePath, *analysis.statistics, lineEnd);
  for (const std::string& flag : analysis.flags) report.append("Warning: ").append(flag).append(lineEnd);
  if (const int estimated = analysis.estimatedColonies(); estimated > 0) {
    report.append("Warning: ").append(std::to_string(estimated)).append(" of the ")
        .append(std::to_string(analysis.colonies.size()))
        .append(" colonies are estimates inside confluent areas, counted by their area").append(lineEnd);
  }
  if (const auto& c = analysis.corrections) {
    report.append("Corrected count: ").append(std::to_string(c->count.total)).append(" (")
        .append(std::to_string(c->count.removed)).append(" removed, ")
        .append(std::to_string(c->count.excluded)).append(" excluded, ")
        .append(std::to_string(c->count.added)).append(" added in review)").append(lineEnd);
  }
  if (analysis.outputError) report.append("Error: ").append(*analysis.outputError).append(lineEnd);
  return report;
}

}  // namespace corvale
