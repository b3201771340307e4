#include "analysis/adaptive/adaptive_analysis.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <set>

#include <opencv2/imgproc.hpp>

#include "blobs/labeling.hpp"

namespace corvale {
namespace {

constexpr double innerFraction = 0.85;        // the middle of the dish, clear of the wall, shows the agar
constexpr double edgeMargin = 0.01;           // of the radius, kept clear inside the agar's edge
constexpr double workingSize = 400.0;         // the background is estimated at about this many pixels across
constexpr double noiseMultiple = 6.0;         // colonies stand this many noise spreads above the agar
constexpr double minimumContrast = 12.0;      // and at least this much lighter, in Lab lightness units
constexpr double smallestColony = 0.005;      // of the dish's diameter: anything smaller is dust or noise
constexpr double dustFraction = 0.25;         // regions below this share of a typical colony are dust
constexpr double typicalQuantile = 0.3;       // clumps that look round sit in the upper part of the areas
constexpr double overgrowthMultiple = 25.0;   // regions this many typical colonies large mean confluent growth
constexpr double glareLightness = 250.0;      // lightness at which the camera saturates: glare
constexpr double glareShare = 0.002;          // of the dish: glare this large is flagged
constexpr double thinFraction = 0.5;          // of a colony's radius: regions thinner than this are no colonies
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

// The agar's lightness everywhere, by a grey opening ("rolling ball") on a reduced copy:
// every light feature narrower than a fifteenth of the dish, colonies included, is
// shaved off however densely they grow, while the agar's shading and dark marks stay.
// Outside the dish's middle the agar's median stands in, so the bench and the wall do
// not leak in.
cv::Mat estimateBackground(const cv::Mat& lightness, const cv::Mat& dishMask, double dishDiameter, double& agar) {
  const double scale = std::min(1.0, workingSize / std::max(lightness.cols, lightness.rows));
  cv::Mat small, smallMask;
  cv::resize(lightness, small, cv::Size(), scale, scale, cv::INTER_AREA);
  cv::resize(dishMask, smallMask, small.size(), 0, 0, cv::INTER_NEAREST);
  agar = median8(small, smallMask);
  small.setTo(cv::Scalar(agar), smallMask == 0);
  const int ball = std::max(3, static_cast<int>(dishDiameter * scale / 15.0) | 1);
  cv::morphologyEx(small, small, cv::MORPH_OPEN, cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(ball, ball)));
  cv::GaussianBlur(small, small, cv::Size(), ball / 4.0);
  cv::Mat background;
  cv::resize(small, background, lightness.size(), 0, 0, cv::INTER_LINEAR);
  return background;
}

// The agar's level and spread in the contrast inside the dish. The level is the
// histogram's peak; the spread comes from the darker half of the peak alone, which
// colonies (all lighter) cannot reach however much of the dish they cover: the
// median distance below the peak is 0.6745 standard deviations of the agar's noise.
std::pair<double, double> agarNoise(const cv::Mat& contrast, const cv::Mat& dishMask) {
  std::array<std::int64_t, 511> histogram{};
  for (int y = 0; y < contrast.rows; ++y) {
    const auto* value = contrast.ptr<std::int16_t>(y);
    const auto* inside = dishMask.ptr<std::uint8_t>(y);
    for (int x = 0; x < contrast.cols; ++x)
      if (inside[x] != 0) ++histogram[value[x] + 255];
  }
  const auto peak = static_cast<int>(std::max_element(histogram.begin(), histogram.end()) - histogram.begin());
  std::int64_t below = 0;
  for (int i = 0; i <= peak; ++i) below += histogram[i];
  std::int64_t seen = 0;
  int halfway = peak;
  for (int i = peak; i >= 0; --i) {
    seen += histogram[i];
    if (2 * seen >= below) {
      halfway = i;
      break;
    }
  }
  return {peak - 255, std::max(0.5, (peak - halfway) / 0.6745)};
}

// Where the agar ends. Just inside the dish's wall the meniscus, the wall and the lid's
// reflections show as a ring of light all the way round, while colonies cover only
// part of any circle: walking outwards, the agar ends at the first circle that the
// mask covers for more than half its length (the dish's own radius when none does).
double agarRadius(const cv::Mat& mask, const DishCircle& dish, double from, double to) {
  for (double radius = from; radius <= to; radius += 1.0) {
    int on = 0, total = 0;
    for (int step = 0; step < 720; ++step) {
      const double angle = step * CV_PI / 360.0;
      const int x = static_cast<int>(dish.centre.x + radius * std::cos(angle));
      const int y = static_cast<int>(dish.centre.y + radius * std::sin(angle));
      if (x < 0 || y < 0 || x >= mask.cols || y >= mask.rows) continue;
      ++total;
      on += mask.at<std::uint8_t>(y, x) != 0;
    }
    if (total > 0 && 2 * on > total) return radius;
  }
  return dish.radius;
}

// The labels found where `where` is set.
std::set<std::uint32_t> labelsWhere(const LabelImage& labels, const cv::Mat& where) {
  std::set<std::uint32_t> found;
  for (int y = 0; y < labels.rows; ++y) {
    const auto* label = labels.ptr<std::uint32_t>(y);
    const auto* set = where.ptr<std::uint8_t>(y);
    for (int x = 0; x < labels.cols; ++x)
      if (set[x] != 0 && label[x] != 0) found.insert(label[x]);
  }
  return found;
}

// The radius of the widest disc that fits in the region.
double thickness(const cv::Mat& regionMask) {
  cv::Mat padded, distance;
  cv::copyMakeBorder(regionMask, padded, 1, 1, 1, 1, cv::BORDER_CONSTANT, cv::Scalar(0));
  cv::distanceTransform(padded, distance, cv::DIST_L2, cv::DIST_MASK_PRECISE);
  double widest = 0.0;
  cv::minMaxLoc(distance, nullptr, &widest);
  return widest;
}

// A colony is round: a region whose box it fills poorly, or that is far longer than
// wide, is a scratch, a rim reflection or a streak.
bool compact(const Blob& region) {
  const double width = region.maxX - region.minX + 1.0;
  const double height = region.maxY - region.minY + 1.0;
  return region.area >= 0.3 * width * height && std::max(width, height) <= 4.0 * std::min(width, height);
}

// A lone colony is round: about as wide as high, filling its box as a disc does.
bool round(const Blob& region) {
  const double width = region.maxX - region.minX + 1.0;
  const double height = region.maxY - region.minY + 1.0;
  return std::max(width, height) <= 1.3 * std::min(width, height) && region.area >= 0.6 * width * height;
}

// The typical single colony: the median area of the round regions (touching colonies
// are not round), or of all compact ones where few are round, leaving out anything
// below `smallest` and then anything below a quarter of the first estimate.
double typicalColonyArea(const BlobTable& regions, double smallest) {
  std::vector<double> roundAreas, compactAreas;
  for (const auto& entry : regions) {
    if (entry.second->area < smallest) continue;
    if (round(*entry.second)) roundAreas.push_back(entry.second->area);
    if (compact(*entry.second)) compactAreas.push_back(entry.second->area);
  }
  std::vector<double>& areas = roundAreas.size() >= 5 ? roundAreas : compactAreas;
  if (areas.empty()) return 0.0;
  std::sort(areas.begin(), areas.end());
  const double first = areas[areas.size() / 2];
  const auto kept = std::lower_bound(areas.begin(), areas.end(), dustFraction * first);
  return kept[static_cast<std::size_t>(typicalQuantile * static_cast<double>(areas.end() - kept))];
}

// The colonies of one region that can be located: the peaks of its distance map, at
// least about a colony radius apart. A region no larger than one and a half typical
// colonies is one colony at its centroid.
std::vector<cv::Point> locateColonies(const cv::Mat& regionMask, cv::Point offset, const Blob& region, double typicalArea) {
  const cv::Point centroid(static_cast<int>(region.centroidX), static_cast<int>(region.centroidY));
  if (region.area < 1.5 * typicalArea) return {centroid};
  const double radius = std::sqrt(typicalArea / CV_PI);
  cv::Mat distance;
  cv::distanceTransform(regionMask, distance, cv::DIST_L2, cv::DIST_MASK_PRECISE);
  const int reach = std::max(1, static_cast<int>(radius * 0.7));
  cv::Mat widest;
  cv::dilate(distance, widest, cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(2 * reach + 1, 2 * reach + 1)));
  const cv::Mat peaks = (distance >= widest) & (distance >= radius * 0.45) & (regionMask != 0);
  cv::Mat peakLabels, stats, centres;
  const int found = cv::connectedComponentsWithStats(peaks, peakLabels, stats, centres, 8, CV_32S);
  std::vector<cv::Point> colonies;
  for (int i = 1; i < found; ++i)
    colonies.emplace_back(cv::Point(static_cast<int>(centres.at<double>(i, 0)), static_cast<int>(centres.at<double>(i, 1))) + offset);
  if (colonies.empty()) colonies.push_back(centroid);
  return colonies;
}

}  // namespace

AdaptiveCount countColoniesAdaptive(const cv::Mat& bgr, AdaptiveStages* stages) {
  AdaptiveCount result;
  result.dish = findDishCircle(bgr);
  if (!result.dish.found) result.flags.push_back("no dish rim found: the whole frame was taken as the dish");

  cv::Mat lab;
  cv::cvtColor(bgr, lab, cv::COLOR_BGR2Lab);
  cv::Mat lightness;
  cv::extractChannel(lab, lightness, 0);
  // The agar's level, noise and shading come from the safe middle of the dish; the
  // colonies are then looked for out to the wall.
  const auto disc = [&](double radius) {
    cv::Mat inside(bgr.size(), CV_8UC1, cv::Scalar(0));
    cv::circle(inside, cv::Point(result.dish.centre), static_cast<int>(radius), cv::Scalar(255), cv::FILLED);
    return inside;
  };
  const cv::Mat dishMask = disc(innerFraction * result.dish.radius);
  const cv::Mat background = estimateBackground(lightness, dishMask, 2.0 * result.dish.radius, result.agarLightness);

  cv::Mat contrast;
  cv::subtract(lightness, background, contrast, cv::noArray(), CV_16S);
  const auto [level, noise] = agarNoise(contrast, dishMask);
  result.noise = noise;
  result.threshold = level + std::max(noiseMultiple * noise, minimumContrast);

  // Glare: light so bright that the camera saturated. Nothing can be seen under it.
  const cv::Mat glare = lightness >= glareLightness;
  cv::Mat mask = (contrast > result.threshold) & ~glare;
  cv::morphologyEx(mask, mask, cv::MORPH_OPEN, cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(3, 3)));
  const double agarEdge = agarRadius(mask, result.dish, innerFraction * result.dish.radius, result.dish.radius);
  const bool wallRing = agarEdge < result.dish.radius;
  result.usableRadius = std::max(0.0, agarEdge - edgeMargin * result.dish.radius);
  mask &= disc(result.usableRadius);

  LabelImage labels(mask.size(), CV_32SC1);
  BlobTable regions;
  labelBlobs(mask, labels, regions);
  // Regions that reach a glare patch: their light area is partly the glare's halo.
  cv::Mat nearGlare;
  cv::dilate(glare, nearGlare, cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(7, 7)));
  const std::set<std::uint32_t> glareLabels = labelsWhere(labels, nearGlare);
  // Where the wall shows as a ring of light, whatever reaches the edge of the counted
  // circle belongs to that ring (or is a colony cut by the edge, which cannot be
  // measured either). Without such a ring, colonies simply grow up to the wall.
  if (wallRing) {
    cv::Mat ring(labels.size(), CV_8UC1, cv::Scalar(0));
    cv::circle(ring, cv::Point(result.dish.centre), std::max(0, static_cast<int>(result.usableRadius) - 2), cv::Scalar(255), 3);
    for (const std::uint32_t label : labelsWhere(labels, ring)) eraseBlob(regions, regions.find(label));
  }
  // Nothing below half a percent of the dish's diameter is resolved as a colony.
  const double smallestDiameter = smallestColony * 2.0 * result.dish.radius;
  const double smallestArea = std::max(9.0, CV_PI / 4.0 * smallestDiameter * smallestDiameter);
  result.typicalArea = typicalColonyArea(regions, smallestArea);

  bool overgrowth = false;
  const double typicalRadius = std::sqrt(result.typicalArea / CV_PI);
  if (result.typicalArea <= 0.0) releaseBlobs(regions);  // nothing colony-sized: nothing to count
  for (const auto& [label, region] : regions) {
    if (region->area < std::max(smallestArea, dustFraction * result.typicalArea)) continue;
    // Small misshapen regions are scratches and streaks; large ones are colonies grown
    // into each other, counted by their area.
    const bool large = region->area > overgrowthMultiple * result.typicalArea;
    if (!large && region->area < 3.0 * result.typicalArea && !compact(*region)) continue;
    const cv::Rect box(static_cast<int>(region->minX), static_cast<int>(region->minY),
                       static_cast<int>(region->maxX - region->minX + 1), static_cast<int>(region->maxY - region->minY + 1));
    const cv::Mat regionMask = labels(box) == static_cast<int>(label);
    // A band thinner than a colony is the meniscus or a reflection on the wall.
    if (thickness(regionMask) < thinFraction * typicalRadius) continue;
    overgrowth = overgrowth || large;
    const std::vector<cv::Point> located = locateColonies(regionMask, box.tl(), *region, result.typicalArea);
    // Colonies packed tightly leave fewer peaks than colonies: the area tells how many
    // typical colonies the region holds at least, except where glare adds light area.
    const auto byArea = glareLabels.count(label) != 0 ? 0 : std::lround(region->area / result.typicalArea);
    const auto total = static_cast<std::size_t>(std::max<long>(static_cast<long>(located.size()), byArea));
    const double share = static_cast<double>(region->area) / static_cast<double>(total);
    for (std::size_t i = 0; i < total; ++i) {
      Colony colony;
      colony.centre = i < located.size() ? cv::Point2d(located[i]) : cv::Point2d(located[i % located.size()]);
      colony.area = share;
      colony.radius = std::sqrt(share / CV_PI);
      colony.box = box;
      colony.kind = i >= located.size() ? ColonyKind::estimated : total == 1 ? ColonyKind::lone : ColonyKind::split;
      colony.region = label;
      result.colonies.push_back(colony);
    }
    result.colonyPixels += region->area;
  }
  releaseBlobs(regions);

  const double usableArea = CV_PI * result.usableRadius * result.usableRadius;
  if (cv::countNonZero(glare & disc(result.usableRadius)) > glareShare * usableArea)
    result.flags.push_back("glare: reflections hide part of the dish; colonies under them are not counted");
  if (overgrowth || result.colonyPixels > 0.4 * usableArea)
    result.flags.push_back("confluent growth: colonies have merged into large areas");
  if (static_cast<int>(result.colonies.size()) > countableLimit)
    result.flags.push_back("too numerous: more than " + std::to_string(countableLimit) + " colonies");

  if (stages != nullptr) {
    stages->dish = bgr.clone();
    cv::circle(stages->dish, cv::Point(result.dish.centre), static_cast<int>(result.dish.radius), cv::Scalar(0, 255, 255), 3);
    cv::circle(stages->dish, cv::Point(result.dish.centre), static_cast<int>(result.usableRadius), cv::Scalar(0, 255, 0), 3);
    stages->background = background;
    contrast.convertTo(stages->contrast, CV_8U, 4.0, 0.0);
    stages->mask = mask;
  }
  return result;
}

}  // namespace corvale
