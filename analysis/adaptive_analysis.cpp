#include "analysis/adaptive_analysis.hpp"

#include <algorithm>
#include <array>
#include <cmath>

#include <opencv2/imgproc.hpp>

#include "blobs/labeling.hpp"

namespace corvale {
namespace {

constexpr double rimFraction = 0.93;          // the outer 7 % of the radius is rim and lid reflection
constexpr double workingSize = 400.0;         // the background is estimated at about this many pixels across
constexpr double noiseMultiple = 6.0;         // colonies stand this many noise spreads above the agar
constexpr double minimumContrast = 8.0;       // and at least this much lighter, in Lab lightness units
constexpr double dustFraction = 0.25;         // regions below this share of a typical colony are dust
constexpr double overgrowthMultiple = 25.0;   // regions this many typical colonies large are overgrowth or glare
constexpr double glareLightness = 245.0;      // overgrowth this light is taken as glare
constexpr int countableLimit = 300;           // more colonies than this are beyond the countable range

// The median of the 8-bit values of `image` where `mask` is set.
double median8(const cv::Mat& image, const cv::Mat& mask) {
  std::array<std::int64_t, 256> histogram{};
  std::int64_t total = 0;
  for (int y = 0; y < image.rows; ++y) {
    const auto* value = image.ptr<std::uint8_t>(y);
    const auto* inside = mask.ptr<std::uint8_t>(y);
    for (int x = 0; x < image.cols; ++x)
      if (inside[x] != 0) ++histogram[value[x]], ++total;
  }
  std::int64_t seen = 0;
  for (int v = 0; v < 256; ++v) {
    seen += histogram[v];
    if (2 * seen >= total) return v;
  }
  return 0.0;
}

// The agar's lightness everywhere: a median far wider than a colony on a reduced copy,
// with the outside of the dish filled with the agar's median so that the bench does not
// leak in at the rim.
cv::Mat estimateBackground(const cv::Mat& lightness, const cv::Mat& dishMask, double dishDiameter, double& agar) {
  const double scale = std::min(1.0, workingSize / std::max(lightness.cols, lightness.rows));
  cv::Mat small, smallMask;
  cv::resize(lightness, small, cv::Size(), scale, scale, cv::INTER_AREA);
  cv::resize(dishMask, smallMask, small.size(), 0, 0, cv::INTER_NEAREST);
  agar = median8(small, smallMask);
  small.setTo(cv::Scalar(agar), smallMask == 0);
  const int kernel = std::clamp(static_cast<int>(dishDiameter * scale / 8.0) | 1, 3, 255);
  cv::medianBlur(small, small, kernel);
  cv::Mat background;
  cv::resize(small, background, lightness.size(), 0, 0, cv::INTER_LINEAR);
  return background;
}

// The median and robust spread (1.4826 times the median absolute deviation) of the
// contrast inside the dish.
std::pair<double, double> contrastNoise(const cv::Mat& contrast, const cv::Mat& dishMask) {
  std::array<std::int64_t, 511> histogram{};
  std::int64_t total = 0;
  for (int y = 0; y < contrast.rows; ++y) {
    const auto* value = contrast.ptr<std::int16_t>(y);
    const auto* inside = dishMask.ptr<std::uint8_t>(y);
    for (int x = 0; x < contrast.cols; ++x)
      if (inside[x] != 0) ++histogram[value[x] + 255], ++total;
  }
  const auto medianOf = [&](const auto& counts) {
    std::int64_t seen = 0;
    for (std::size_t i = 0; i < counts.size(); ++i) {
      seen += counts[i];
      if (2 * seen >= total) return static_cast<int>(i);
    }
    return 0;
  };
  const int median = medianOf(histogram) - 255;
  std::array<std::int64_t, 511> deviations{};
  for (int i = 0; i < 511; ++i) deviations[std::abs(i - 255 - median)] += histogram[i];
  return {median, 1.4826 * medianOf(deviations)};
}

// The typical single colony: the median area of the regions that are not dust, found
// by narrowing in twice from the median of everything above a few pixels.
double typicalColonyArea(const BlobTable& regions) {
  std::vector<double> areas;
  for (const auto& entry : regions) areas.push_back(entry.second->area);
  std::sort(areas.begin(), areas.end());
  double typical = 0.0;
  double floor = 9.0;
  for (int pass = 0; pass < 3; ++pass) {
    const auto first = std::lower_bound(areas.begin(), areas.end(), floor);
    if (first == areas.end()) break;
    typical = first[(areas.end() - first) / 2];
    floor = std::max(9.0, dustFraction * typical);
  }
  return typical;
}

// The colonies of one region: the peaks of its distance map, at least about a colony
// radius apart. A region no larger than one and a half typical colonies is one colony.
std::vector<cv::Point> splitRegion(const cv::Mat& regionMask, cv::Point offset, const Blob& region, double typicalArea) {
  const cv::Point2d centroid(region.centroidX, region.centroidY);
  if (region.area < 1.5 * typicalArea) return {cv::Point(centroid)};
  const double radius = std::sqrt(typicalArea / CV_PI);
  cv::Mat distance;
  cv::distanceTransform(regionMask, distance, cv::DIST_L2, cv::DIST_MASK_PRECISE);
  const int reach = std::max(1, static_cast<int>(radius * 0.7));
  cv::Mat widest;
  cv::dilate(distance, widest, cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(2 * reach + 1, 2 * reach + 1)));
  cv::Mat peaks = (distance >= widest) & (distance >= radius * 0.45) & (regionMask != 0);
  cv::Mat peakLabels, stats, centres;
  const int found = cv::connectedComponentsWithStats(peaks, peakLabels, stats, centres, 8, CV_32S);
  std::vector<cv::Point> colonies;
  for (int i = 1; i < found; ++i)
    colonies.emplace_back(cv::Point(centres.at<double>(i, 0), centres.at<double>(i, 1)) + offset);
  if (colonies.empty()) colonies.emplace_back(centroid);
  return colonies;
}

}  // namespace

AdaptiveCount countColoniesAdaptive(const cv::Mat& bgr, AdaptiveStages* stages) {
  AdaptiveCount result;
  result.dish = findDishCircle(bgr);
  result.usableRadius = result.dish.radius * rimFraction;
  if (!result.dish.found) result.flags.push_back("no dish rim found: the whole frame was taken as the dish");

  cv::Mat dishMask(bgr.size(), CV_8UC1, cv::Scalar(0));
  cv::circle(dishMask, cv::Point(result.dish.centre), static_cast<int>(result.usableRadius), cv::Scalar(255), cv::FILLED);

  cv::Mat lab;
  cv::cvtColor(bgr, lab, cv::COLOR_BGR2Lab);
  cv::Mat lightness;
  cv::extractChannel(lab, lightness, 0);
  const cv::Mat background = estimateBackground(lightness, dishMask, 2.0 * result.usableRadius, result.agarLightness);

  cv::Mat contrast;
  cv::subtract(lightness, background, contrast, cv::noArray(), CV_16S);
  const auto [median, noise] = contrastNoise(contrast, dishMask);
  result.noise = noise;
  result.threshold = median + std::max(noiseMultiple * noise, minimumContrast);

  cv::Mat mask = (contrast > result.threshold) & dishMask;
  cv::morphologyEx(mask, mask, cv::MORPH_OPEN, cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(3, 3)));

  LabelImage labels(mask.size(), CV_32SC1);
  BlobTable regions;
  labelBlobs(mask, labels, regions);
  result.typicalArea = typicalColonyArea(regions);

  bool glare = false;
  bool overgrowth = false;
  for (const auto& [label, region] : regions) {
    if (region->area < dustFraction * result.typicalArea) continue;
    const cv::Rect box(static_cast<int>(region->minX), static_cast<int>(region->minY),
                       static_cast<int>(region->maxX - region->minX + 1), static_cast<int>(region->maxY - region->minY + 1));
    const cv::Mat regionMask = labels(box) == static_cast<int>(label);
    if (region->area > overgrowthMultiple * result.typicalArea) {
      const bool light = cv::mean(lightness(box), regionMask)[0] >= glareLightness;
      (light ? glare : overgrowth) = true;
      continue;
    }
    const std::vector<cv::Point> colonies = splitRegion(regionMask, box.tl(), *region, result.typicalArea);
    result.centres.insert(result.centres.end(), colonies.begin(), colonies.end());
    result.regions.push_back(*region);
    result.colonyPixels += region->area;
  }
  releaseBlobs(regions);
  result.colonyCount = static_cast<int>(result.centres.size());

  if (glare) result.flags.push_back("glare: very light patches were left out of the count");
  const double usableArea = CV_PI * result.usableRadius * result.usableRadius;
  if (overgrowth || result.colonyPixels > 0.4 * usableArea)
    result.flags.push_back("confluent growth: colonies have merged into large areas");
  if (result.colonyCount > countableLimit)
    result.flags.push_back("too numerous: more than " + std::to_string(countableLimit) + " colonies");

  if (stages != nullptr) {
    stages->dish = bgr.clone();
    cv::circle(stages->dish, cv::Point(result.dish.centre), static_cast<int>(result.dish.radius), cv::Scalar(0, 255, 255), 3);
    cv::circle(stages->dish, cv::Point(result.dish.centre), static_cast<int>(result.usableRadius), cv::Scalar(0, 255, 0), 3);
    stages->background = background;
    contrast.convertTo(stages->contrast, CV_8U, 4.0, 0.0);
    stages->mask = mask;
    stages->colonies = bgr.clone();
    for (const Blob& region : result.regions) {
      cv::rectangle(stages->colonies, cv::Point(static_cast<int>(region.minX), static_cast<int>(region.minY)),
                    cv::Point(static_cast<int>(region.maxX), static_cast<int>(region.maxY)), cv::Scalar(0, 0, 255));
    }
    for (const cv::Point& centre : result.centres) {
      cv::line(stages->colonies, centre - cv::Point(6, 0), centre + cv::Point(6, 0), cv::Scalar(255, 50, 50));
      cv::line(stages->colonies, centre - cv::Point(0, 6), centre + cv::Point(0, 6), cv::Scalar(255, 50, 50));
    }
  }
  return result;
}

}  // namespace corvale
