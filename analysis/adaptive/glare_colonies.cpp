#include "analysis/adaptive/glare_colonies.hpp"

#include <cmath>

#include <opencv2/imgproc.hpp>

#include "analysis/adaptive/disc_morphology.hpp"
#include "analysis/adaptive/non_colonies.hpp"
#include "analysis/adaptive/region_colonies.hpp"
#include "analysis/adaptive/region_splitting.hpp"

namespace corvale {
namespace {

constexpr double closingRadius = 1.5;  // of the typical radius: the patch is closed over this
constexpr double shadeRadius = 0.6;    // of the typical radius: a colony's shaded crescent is closed over this
constexpr double leastDepth = 0.5;     // of the typical radius: thinner bays are the patch's ragged edge
constexpr double saddleShare = 0.10;   // a hill this far above its saddle is a colony of its own

}  // namespace

std::vector<Colony> coloniesInGlare(const cv::Mat& lightness, const cv::Mat& glare, const cv::Mat& usable,
                                    const cv::Mat& counted, double typicalRadius, double contrast, std::uint32_t firstRegion) {
  std::vector<Colony> colonies;
  if (glare.empty() || typicalRadius <= 0.0 || cv::countNonZero(glare) == 0) return colonies;
  const int reach = std::max(1, static_cast<int>(std::ceil(closingRadius * typicalRadius)));
  // Near the glare, the light closed over a colony's width is the reflection's; what
  // stands clearly darker than that is a colony's dome.
  // Both widenings stay within the box around the glare grown by twice the reach, and
  // are made there alone.
  const cv::Rect around = (cv::boundingRect(glare) + cv::Size(4 * reach, 4 * reach) - cv::Point(2 * reach, 2 * reach)) &
                          cv::Rect(0, 0, glare.cols, glare.rows);
  cv::Mat near = cv::Mat::zeros(glare.size(), CV_8UC1);
  cv::Mat widened = near(around);
  dilateDisc(glare(around), widened, reach);
  dilateDisc(widened, widened, reach);
  const cv::Rect box = cv::boundingRect(near);
  // The closing's widening sees the photograph beyond the box, its narrowing does not.
  const cv::Rect seen = (box + cv::Size(2 * reach, 2 * reach) - cv::Point(reach, reach)) & cv::Rect(0, 0, glare.cols, glare.rows);
  cv::Mat lighter, reflection;
  dilateDisc(lightness(seen), lighter, reach);
  erodeDisc(lighter(box - seen.tl()), reflection, reach);
  cv::Mat islands = cv::Mat::zeros(glare.size(), CV_8UC1);
  cv::Mat darker = (reflection - lightness(box)) > contrast;
  cv::Mat notCounted;
  cv::dilate(counted(box), notCounted, cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(5, 5)));
  islands(box).setTo(cv::Scalar(255), darker & near(box) & usable(box) & ~notCounted);
  // A dome shows its shaded side darker than the reflection, its shine not: the
  // crescent that stands out is closed into the colony's disc.
  // The closing and opening are made in the box around the islands, with room for the
  // closing to widen them and still see background beyond.
  const int shade = std::max(1, static_cast<int>(std::lround(shadeRadius * typicalRadius)));
  const int room = 2 * shade + 2;
  const cv::Rect shaded = (box + cv::Size(2 * room, 2 * room) - cv::Point(room, room)) & cv::Rect(0, 0, glare.cols, glare.rows);
  cv::Mat part = islands(shaded);
  closeDisc(part, part, shade);
  cv::morphologyEx(part, part, cv::MORPH_OPEN, cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(3, 3)));
  const double depth = std::max(1.0, leastDepth * typicalRadius);
  const MaskSplit split = splitMask(islands, depth, saddleShare);
  for (const MaskRegion& region : split.regions) {
    if (judgeRegion(region, split.peaks, typicalRadius, depth) != RegionKind::colonies) continue;
    std::vector<const MaskPeak*> hills;
    for (const int index : region.peaks)
      if (split.peaks[static_cast<std::size_t>(index)].depth >= depth) hills.push_back(&split.peaks[static_cast<std::size_t>(index)]);
    const std::uint32_t label = firstRegion++;
    appendRegionColonies(region, hills, label, colonies);
  }
  return colonies;
}

}  // namespace corvale
