#include "analysis/adaptive/polarity_count.hpp"

#include <algorithm>
#include <array>
#include <cmath>

#include <opencv2/imgproc.hpp>

#include "analysis/adaptive/agar_edge.hpp"
#include "analysis/adaptive/colony_scale.hpp"
#include "analysis/adaptive/disc_morphology.hpp"
#include "analysis/adaptive/mask_patches.hpp"
#include "analysis/adaptive/non_colonies.hpp"
#include "analysis/adaptive/region_splitting.hpp"

namespace corvale {
namespace {

constexpr double edgeMargin = 0.01;          // of the radius, kept clear inside the agar's edge
constexpr double edgeBand = 0.04;            // of the radius: the band inside the edge where thin remains of the wall are opened away
constexpr double smallestColony = 0.0025;    // radius over the dish's diameter: no smaller hill splits a region or sets the scale
constexpr double pinpointColony = 0.001;     // lone round colonies smaller than this are dust or noise
constexpr double pinpointElongation = 1.5;   // a pinpoint colony is round
constexpr int speckledWall = 5;              // pinpoint-shaped specks along the wall: this many at least,
constexpr double wallCrowding = 8.0;         // this many times as thick as the colonies inside, are the wall's grain
constexpr int sheenMarks = 10;               // colony-like marks along the wall: this many at least,
constexpr double sheenCrowding = 20.0;       // this many times as thick as the colonies inside, are the wall's sheen,
constexpr int sheenCompared = 3;             // where at least this many colonies inside show how thickly colonies grow
constexpr double dustShare = 0.25;           // of the typical radius: hills below it are dust
constexpr double recountColonies = 4.0;      // typical colonies' area: regions this large that are not colony-shaped are looked into
constexpr double brightShare = 0.05;         // a hill of brightness this far above its saddle is a colony of its own
constexpr double texturedHills = 4.0;        // brightness hills over shape hills: this many more, in a compact region, is texture
constexpr double texturedSolidity = 0.93;    // a region filling its hull this well has no necks between colonies
constexpr double ownDome = 0.75;             // of a colony's brightness at its middle: a dome beside it this high is a colony's own
constexpr double cleanDisc = 1.3;            // a region no larger than this over its hills' discs is those colonies alone
constexpr double lumpyCoverage = 1.1;        // a region more than this over its hills' discs may hide colonies its shape does not show
constexpr double saddleShare = 0.10;         // a hill this far above its saddle is a colony of its own
constexpr double brightestPart = 0.95;       // a region's brightest part: the share of its pixels below it
constexpr double evenShare = 0.5;            // of a region: a brighter part this large is the plateau of colonies of even brightness
constexpr double flatShare = 0.85;           // of a region looked into: a brighter part this large is the region itself
constexpr double clumpElongation = 2.5;      // a clump of a few colonies is no longer than this
constexpr double clumpSolidity = 0.8;        // and fills its hull this well: writing and arcs do not
constexpr double confluentSolidity = 0.6;    // confluent growth fills its hull this well; a crescent of reflection does not
constexpr double confluentElongation = 3.0;  // and is no longer than this many times its width
constexpr double alongEdge = 3.0;            // a region touching the counted area's edge over this many times its thickness lies across it

// Estimated colonies spread over a confluent region on a grid, as many as its area holds
// beyond the colonies located in it.
void placeEstimates(const MaskSplit& split, int regionIndex, cv::Point offset, int wanted, double share, std::uint32_t label,
                    std::vector<Colony>& colonies) {
  const MaskRegion& region = split.regions[static_cast<std::size_t>(regionIndex)];
  if (wanted <= 0) return;
  const int step = std::max(1, static_cast<int>(std::sqrt(static_cast<double>(region.area) / wanted)));
  for (int y = region.box.y + step / 2; y < region.box.br().y && wanted > 0; y += step)
    for (int x = region.box.x + step / 2; x < region.box.br().x && wanted > 0; x += step) {
      if (split.regionOf.at<std::int32_t>(y, x) != regionIndex + 1) continue;
      Colony colony;
      colony.centre = cv::Point2d(x + offset.x, y + offset.y);
      colony.area = share;
      colony.radius = std::sqrt(share / CV_PI);
      colony.box = region.box + offset;
      colony.kind = ColonyKind::estimated;
      colony.region = label;
      colonies.push_back(colony);
      --wanted;
    }
}

// The level that best parts `values` in two (Otsu's criterion), from a histogram of
// contrasts clamped to 0..255.
int otsuLevel(const std::array<std::int64_t, 256>& histogram) {
  double total = 0.0, sum = 0.0;
  for (int v = 0; v < 256; ++v) total += histogram[static_cast<std::size_t>(v)], sum += v * static_cast<double>(histogram[static_cast<std::size_t>(v)]);
  double below = 0.0, belowSum = 0.0, best = -1.0;
  int level = 0;
  for (int v = 0; v < 255; ++v) {
    below += histogram[static_cast<std::size_t>(v)];
    belowSum += v * static_cast<double>(histogram[static_cast<std::size_t>(v)]);
    const double above = total - below;
    if (below <= 0.0 || above <= 0.0) continue;
    const double gap = belowSum / below - (sum - belowSum) / above;
    const double between = below * above * gap * gap;
    if (between > best) best = between, level = v;
  }
  return level;
}

// The contrasts of a region's pixels, clamped to 0..255.
std::array<std::int64_t, 256> contrastHistogram(const MaskSplit& split, int regionIndex, const cv::Mat& contrast, cv::Point offset) {
  const cv::Rect box = split.regions[static_cast<std::size_t>(regionIndex)].box;
  std::array<std::int64_t, 256> histogram{};
  for (int y = 0; y < box.height; ++y) {
    const auto* region = split.regionOf.ptr<std::int32_t>(y + box.y) + box.x;
    const auto* value = contrast.ptr<std::int16_t>(y + box.y + offset.y) + box.x + offset.x;
    for (int x = 0; x < box.width; ++x)
      if (region[x] == regionIndex + 1) ++histogram[static_cast<std::size_t>(std::clamp<int>(value[x], 0, 255))];
  }
  return histogram;
}

// The value below which `share` of a histogram's counts lie.
int histogramQuantile(const std::array<std::int64_t, 256>& histogram, double share) {
  std::int64_t total = 0;
  for (const std::int64_t n : histogram) total += n;
  std::int64_t below = 0;
  for (int v = 0; v < 256; ++v)
    if ((below += histogram[static_cast<std::size_t>(v)]) > share * static_cast<double>(total)) return v;
  return 255;
}

// The share of its convex hull that a region fills.
double solidity(const MaskSplit& split, int regionIndex) {
  const MaskRegion& region = split.regions[static_cast<std::size_t>(regionIndex)];
  std::vector<std::vector<cv::Point>> contours;
  cv::findContours(split.regionOf(region.box) == regionIndex + 1, contours, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_SIMPLE);
  std::vector<cv::Point> points, hull;
  for (const auto& contour : contours) points.insert(points.end(), contour.begin(), contour.end());
  if (points.size() < 3) return 1.0;
  cv::convexHull(points, hull);
  const double hullArea = cv::contourArea(hull);
  return hullArea > 0.0 ? std::min(1.0, static_cast<double>(region.area) / hullArea) : 1.0;
}

// How far the lone colonies of `split` stand out from the agar: the median over them
// of their middle contrast; 0 when there are too few to tell.
double loneColonyContrast(const MaskSplit& split, const cv::Mat& contrast, double dust) {
  std::vector<int> lone;
  for (std::size_t r = 0; r < split.regions.size(); ++r) {
    const MaskRegion& region = split.regions[r];
    if (region.peaks.size() == 1 && region.deepest >= dust && discCoverage(region, split.peaks) <= cleanDisc)
      lone.push_back(histogramQuantile(contrastHistogram(split, static_cast<int>(r), contrast, cv::Point(0, 0)), 0.5));
  }
  if (lone.size() < static_cast<std::size_t>(pinpointCompany)) return 0.0;
  std::nth_element(lone.begin(), lone.begin() + static_cast<long>(lone.size() / 2), lone.end());
  return lone[lone.size() / 2];
}

// How many of each region's pixels lie along the edge of `counted`, the area counted:
// its pixels with a pixel outside it among their eight neighbours within the frame.
// The area is convex, one run of pixels along each row, so its edge is each run's
// ends and what of the run reaches beyond the runs of the rows beside it.
std::vector<int> edgeContact(const MaskSplit& split, const cv::Mat& counted) {
  const int rows = counted.rows, cols = counted.cols;
  std::vector<std::pair<int, int>> runs(static_cast<std::size_t>(rows));
  for (int y = 0; y < rows; ++y) runs[static_cast<std::size_t>(y)] = setColumns(counted.ptr<std::uint8_t>(y), cols);
  std::vector<int> contact(split.regions.size(), 0);
  const auto touch = [&](int x, int y) {
    if (const std::int32_t region = split.regionOf.at<std::int32_t>(y, x); region > 0) ++contact[static_cast<std::size_t>(region - 1)];
  };
  for (int y = 0; y < rows; ++y) {
    const auto [first, last] = runs[static_cast<std::size_t>(y)];
    if (first > last) continue;
    // Inside the frame's edges, from `from` to `to` the pixel's neighbours in this row
    // and the rows beside it are all in the area.
    int from = first > 0 ? first + 1 : first, to = last < cols - 1 ? last - 1 : last;
    for (const int beside : {y - 1, y + 1}) {
      if (beside < 0 || beside >= rows) continue;
      const auto [begin, end] = runs[static_cast<std::size_t>(beside)];
      if (begin > end) {
        from = last + 1;
        break;
      }
      from = std::max(from, begin > 0 ? begin + 1 : begin);
      to = std::min(to, end < cols - 1 ? end - 1 : end);
    }
    if (from > to) {
      for (int x = first; x <= last; ++x) touch(x, y);
      continue;
    }
    for (int x = first; x < from; ++x) touch(x, y);
    for (int x = to + 1; x <= last; ++x) touch(x, y);
  }
  return contact;
}

// The patches of `mask` no wider or taller than `side` that fill at least half their box:
// specks, not pieces of an arc.
cv::Mat compactSpecks(const cv::Mat& mask, int side) {
  return patchesWhere(mask, [side](const Patch& patch) {
    return std::max(patch.width(), patch.height()) <= side && 2 * patch.area >= patch.width() * patch.height();
  });
}

struct Plate {
  double typicalRadius = 0.0;
  double dust = 0.0;
  double smallest = 0.0;
  double pinpoint = 0.0;  // lone round colonies down to this radius are counted
  double colonyContrast = 0.0;  // how far the plate's lone colonies stand out from the agar, in the middle; 0 when too few
  cv::Mat wallSpecks;           // specks along the wall: counted as pinpoint colonies or not at all
  bool speckledWall = false;    // those specks crowd the wall far more than colonies the dish: none is counted
  std::vector<int> edgeContact;  // how many of each region's pixels lie along the edge of the area counted
};

// What a region of the mask is taken for before its colonies are counted.
enum class Verdict {
  faint,        // unevenness of the agar, condensation or a film
  pinpoint,     // one pinpoint colony
  dropped,      // a speck along the wall or dust
  faintPatch,   // a large faint patch: a reflection or a film, with perhaps colonies standing out of it
  acrossEdge,   // a label or the wall's remains across the edge of the area counted, with perhaps colonies standing out of it
  other,        // not colony-shaped: thin shapes, or a large region to look into
  colonies,     // colonies, to be counted by their hills
};

struct Judgement {
  Verdict verdict = Verdict::colonies;
  RegionKind kind = RegionKind::colonies;
  bool large = false;  // at least `recountColonies` typical colonies' area
  bool thick = false;  // thick enough to hold a colony somewhere
  double faint = 0.0;  // the contrast below which a region is too faint
};

// What is known of a split's regions before they are counted: each one's judgement
// and, for lumpy regions taken for colonies, their hills of brightness.
struct RegionNotes {
  std::vector<Judgement> judgements;
  std::vector<std::vector<cv::Point>> bright;
};

void countRegions(const MaskSplit& split, const cv::Mat& contrast, cv::Point offset, const Plate& plate, int depth,
                  const RegionNotes* notes, cv::Mat& mask, PolarityCount& count);

// A region's brighter part (`inRegion`, its pixels, in its box): what stands out more
// than the level that best parts its contrasts (and at least `lowest`), opened a little.
cv::Mat brighterPart(const MaskSplit& split, int regionIndex, const cv::Mat& inRegion, const cv::Mat& contrast, cv::Point offset,
                     int lowest) {
  const int level = std::max(otsuLevel(contrastHistogram(split, regionIndex, contrast, offset)), lowest);
  cv::Mat brighter;
  cv::compare(contrast(split.regions[static_cast<std::size_t>(regionIndex)].box + offset), level, brighter, cv::CMP_GT);
  brighter &= inRegion;
  cv::morphologyEx(brighter, brighter, cv::MORPH_OPEN, cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(3, 3)));
  return brighter;
}

// A region that is not colony-shaped as a whole may be colonies standing on a lighter
// patch (the halo of a reflection, a film of growth): its own brightest part, cut at
// the level that best parts its contrasts (and at least `lowest`), is counted again,
// once.
void recountBrighter(const MaskSplit& split, int regionIndex, const cv::Mat& contrast, cv::Point offset, const Plate& plate,
                     int depth, int lowest, cv::Mat& mask, PolarityCount& count) {
  const MaskRegion& region = split.regions[static_cast<std::size_t>(regionIndex)];
  const cv::Rect box = region.box;
  const cv::Mat inRegion = split.regionOf(box) == regionIndex + 1;
  const cv::Mat brighter = brighterPart(split, regionIndex, inRegion, contrast, offset, lowest);
  // Where the brighter part is nearly all of the region, the region is one flat patch
  // (a label's paper between the letters written on it), not colonies standing on it.
  if (cv::countNonZero(brighter) > flatShare * static_cast<double>(region.area)) {
    count.otherPixels += region.area;
    return;
  }
  mask(box + offset).setTo(cv::Scalar(0), inRegion & ~brighter);
  const MaskSplit inner = splitMask(brighter, plate.smallest, saddleShare);
  countRegions(inner, contrast, offset + box.tl(), plate, depth + 1, nullptr, mask, count);
}

// The hills of shape of a region's brighter part (see brighterPart), no lower than
// dust, in the frame's coordinates. Colonies of even brightness, with no dome to show,
// whose blurred edges fill the necks between them, show them open there.
std::vector<MaskPeak> hillsOfBrighterPart(const MaskSplit& split, int regionIndex, const cv::Mat& contrast, cv::Point offset,
                                          const Plate& plate) {
  const cv::Rect box = split.regions[static_cast<std::size_t>(regionIndex)].box;
  const cv::Mat inRegion = split.regionOf(box) == regionIndex + 1;
  const cv::Mat part = brighterPart(split, regionIndex, inRegion, contrast, offset, 0);
  // Colonies of even brightness are mostly their plateau; a textured colony's brighter
  // part is scattered patches of its surface.
  if (cv::countNonZero(part) < evenShare * static_cast<double>(split.regions[static_cast<std::size_t>(regionIndex)].area)) return {};
  const MaskSplit inner = splitMask(part, plate.smallest, saddleShare);
  std::vector<MaskPeak> hills;
  for (const MaskPeak& peak : inner.peaks)
    if (peak.depth >= plate.dust) hills.push_back({peak.at + box.tl(), peak.depth, regionIndex, peak.area});
  return hills;
}

// Whether a region is one round hill no smaller than `least` and as compact as a disc:
// the shape of a pinpoint colony. The distance map puts a small disc's middle about
// half a pixel short of its radius, which matters at this size.
bool pinpointShaped(const MaskRegion& region, double least) {
  const double radius = region.deepest + 0.5;
  return region.deepest >= least && region.peaks.size() == 1 && region.elongation <= pinpointElongation &&
         static_cast<double>(region.area) <= cleanDisc * CV_PI * radius * radius;
}

Judgement judge(const MaskSplit& split, int regionIndex, const std::array<std::int64_t, 256>& contrasts, cv::Point offset,
                const Plate& plate, int depth) {
  const MaskRegion& region = split.regions[static_cast<std::size_t>(regionIndex)];
  Judgement judgement;
  // What stands out less at its brightest than the plate's lone colonies do in
  // their middle is unevenness of the agar, condensation or a film, not a colony.
  judgement.faint = faintShare * plate.colonyContrast;
  if (histogramQuantile(contrasts, brightestPart) < judgement.faint) return {Verdict::faint};
  judgement.thick = region.deepest >= std::max(2.0 * plate.smallest, 0.5 * plate.typicalRadius);
  // What runs along the edge of the area counted for much longer than it is thick lies
  // across that edge (a label's paper, the wall's remains): a colony cut by the edge
  // touches it over its width at most.
  if (depth == 0 && static_cast<std::size_t>(regionIndex) < plate.edgeContact.size() &&
      plate.edgeContact[static_cast<std::size_t>(regionIndex)] >
          alongEdge * 2.0 * std::max(static_cast<double>(region.deepest), plate.smallest)) {
    judgement.verdict = Verdict::acrossEdge;
    return judgement;
  }
  // A pinpoint colony: one round hill, smaller than the colonies that set the plate's
  // scale, but no dust on a plate of colonies this size.
  const bool wallSpeck = !plate.wallSpecks.empty() && plate.wallSpecks.at<std::uint8_t>(cv::Point(region.centroid) + offset) != 0;
  if (wallSpeck && plate.speckledWall) return {Verdict::dropped};
  if ((region.deepest < plate.dust || wallSpeck) && pinpointShaped(region, plate.pinpoint)) return {Verdict::pinpoint};
  if (wallSpeck) return {Verdict::dropped};
  // A large region far fainter than the plate's lone colonies is a reflection or a
  // film on the agar, whatever its shape: only colonies standing out of it as far as
  // the others do are counted.
  judgement.large = static_cast<double>(region.area) >= recountColonies * CV_PI * plate.typicalRadius * plate.typicalRadius;
  if (judgement.large && depth == 0 && histogramQuantile(contrasts, 0.5) < judgement.faint) {
    judgement.verdict = Verdict::faintPatch;
    return judgement;
  }
  judgement.kind = judgeRegion(region, split.peaks, plate.typicalRadius, plate.dust);
  // A small compact region as bright as the colonies, too lumpy for its few hills of
  // shape, is a clump of colonies smaller than the plate's usual ones.
  if (judgement.kind == RegionKind::other && !judgement.large && region.deepest >= plate.dust &&
      region.elongation <= clumpElongation && plate.colonyContrast > 0.0 &&
      histogramQuantile(contrasts, 0.5) >= judgement.faint && solidity(split, regionIndex) >= clumpSolidity)
    judgement.kind = RegionKind::colonies;
  if (judgement.kind == RegionKind::other)
    judgement.verdict = region.deepest < plate.dust ? Verdict::dropped : Verdict::other;
  return judgement;
}

// Whether `marks` in the band along the edge (`bandShare` of the area inside it) crowd
// it more than `factor` times as thickly as `inside` colonies crowd the rest.
bool crowdTheWall(double marks, int inside, double bandShare, double factor) {
  return marks > factor * bandShare * std::max(1, inside);
}

// Colonies grow against the wall no more thickly than elsewhere on the dish. Where the
// regions that would be counted with their centres in the band along the edge (outside
// `inner`, the band `bandShare` of the area inside it) crowd it many times as thickly as
// those inside crowd the rest, they are the sheen of the wall or the meniscus, broken
// into colony-sized beads where the agar is quiet and the threshold low: none of them
// is counted. A plate with next to nothing inside gives nothing to compare with: what
// lines its wall is counted.
void dropWallSheen(const MaskSplit& split, const cv::Mat& inner, double bandShare, std::vector<Judgement>& judgements) {
  std::vector<std::size_t> alongWall;
  int inside = 0;
  for (std::size_t r = 0; r < split.regions.size(); ++r) {
    if (judgements[r].verdict != Verdict::pinpoint && judgements[r].verdict != Verdict::colonies) continue;
    if (inner.at<std::uint8_t>(cv::Point(split.regions[r].centroid)) != 0) ++inside;
    else alongWall.push_back(r);
  }
  const auto marks = static_cast<double>(alongWall.size());
  if (marks >= sheenMarks && inside >= sheenCompared && crowdTheWall(marks, inside, bandShare, sheenCrowding))
    for (const std::size_t r : alongWall) judgements[r].verdict = Verdict::dropped;
}

// Counts the colonies of the regions of `split`, found in the part of the photograph
// at `offset`.
void countRegions(const MaskSplit& split, const cv::Mat& contrast, cv::Point offset, const Plate& plate, int depth,
                  const RegionNotes* notes, cv::Mat& mask, PolarityCount& count) {
  const double typicalArea = CV_PI * plate.typicalRadius * plate.typicalRadius;
  for (std::size_t r = 0; r < split.regions.size(); ++r) {
    const MaskRegion& region = split.regions[r];
    const Judgement judgement =
        notes != nullptr
            ? notes->judgements[r]
            : judge(split, static_cast<int>(r), contrastHistogram(split, static_cast<int>(r), contrast, offset), offset, plate, depth);
    switch (judgement.verdict) {
      case Verdict::faint: count.otherPixels += region.area; continue;
      case Verdict::pinpoint: {
        count.colonyPixels += region.area;
        Colony colony;
        colony.centre = region.centroid + cv::Point2d(offset);
        colony.area = static_cast<double>(region.area);
        colony.radius = std::sqrt(colony.area / CV_PI);
        colony.box = region.box + offset;
        colony.region = ++count.regions;
        count.colonies.push_back(colony);
        ++count.pinpoints;
        continue;
      }
      case Verdict::dropped: continue;
      case Verdict::faintPatch:
        if (judgement.thick)
          recountBrighter(split, static_cast<int>(r), contrast, offset, plate, depth, static_cast<int>(judgement.faint), mask,
                          count);
        else
          count.otherPixels += region.area;
        continue;
      case Verdict::acrossEdge:
        // Colonies against it are its brighter part; a label's paper is one flat patch
        // and counts none.
        if (judgement.thick)
          recountBrighter(split, static_cast<int>(r), contrast, offset, plate, depth, 0, mask, count);
        else
          count.otherPixels += region.area;
        continue;
      case Verdict::other:
        // Thin shapes (rings, arcs, writing) are left alone: only a region thick enough
        // to hold a colony somewhere is looked into.
        if (depth == 0 && judgement.large && judgement.thick)
          recountBrighter(split, static_cast<int>(r), contrast, offset, plate, depth, 0, mask, count);
        else
          count.otherPixels += region.area;
        continue;
      case Verdict::colonies: break;
    }
    const RegionKind kind = judgement.kind;
    std::vector<const MaskPeak*> hills;
    double depths = 0.0;
    for (const int index : region.peaks) {
      const MaskPeak& peak = split.peaks[static_cast<std::size_t>(index)];
      if (peak.depth < plate.dust) continue;
      hills.push_back(&peak);
      depths += peak.depth * peak.depth;
    }
    if (hills.empty()) continue;
    // Where the region is lumpier than its discs and its brightness shows more
    // colonies than its shape, each hill of brightness is a colony.
    std::vector<MaskPeak> shining;
    std::vector<const MaskPeak*> satellites;  // small colonies against a textured one
    bool byBrightness = false;  // the region's colonies are its hills of brightness
    if (notes != nullptr && discCoverage(region, split.peaks) > lumpyCoverage) {
      for (const cv::Point& at : notes->bright[r]) {
        bool apart = true;
        for (const MaskPeak& kept : shining) apart = apart && cv::norm(kept.at - at) >= 2.0 * plate.dust;
        if (apart) shining.push_back({at, static_cast<float>(plate.typicalRadius), static_cast<std::int32_t>(r), 0});
      }
      // A compact region whose brightness shows many times the hills its shape does is
      // one spreading colony with a textured surface, not colonies packed without necks.
      const bool textured = shining.size() >= texturedHills * hills.size() && solidity(split, static_cast<int>(r)) >= texturedSolidity;
      if (shining.size() > hills.size() && !textured) {
        byBrightness = true;
        hills.clear();
        depths = 0.0;
        for (const MaskPeak& peak : shining) hills.push_back(&peak), depths += peak.depth * peak.depth;
      }
      // A spreading colony's texture lies on its body, and beyond its widest disc, in
      // its thin spreading margin, it is fainter than at its middle. A hill of
      // brightness beyond the widest disc of every hill of the region's shape that
      // stands nearly as high as the nearest of them does at its middle is a colony of
      // its own, grown against it, whose neck the threshold filled in.
      if (textured) {
        const std::size_t shapeHills = hills.size();
        for (const MaskPeak& peak : shining) {
          const MaskPeak* nearest = nullptr;
          bool beyond = true;
          for (std::size_t h = 0; h < shapeHills; ++h) {
            beyond = beyond && cv::norm(hills[h]->at - peak.at) > hills[h]->depth;
            if (nearest == nullptr || cv::norm(hills[h]->at - peak.at) < cv::norm(nearest->at - peak.at)) nearest = hills[h];
          }
          if (beyond && contrast.at<std::int16_t>(peak.at + offset) >= ownDome * contrast.at<std::int16_t>(nearest->at + offset))
            satellites.push_back(&peak);
        }
      }
    }
    const bool round = hills.size() == 1 && discCoverage(region, split.peaks) <= 1.6;
    // A lumpy region whose brightness shows no more colonies than its shape may be
    // colonies of even brightness whose blurred edges fill the necks between them:
    // where its brighter part shows more hills, each is a colony.
    std::vector<MaskPeak> cores;
    if (notes != nullptr && !byBrightness && shining.size() <= hills.size() && discCoverage(region, split.peaks) > lumpyCoverage) {
      cores = hillsOfBrighterPart(split, static_cast<int>(r), contrast, offset, plate);
      if (cores.size() > hills.size()) {
        hills.clear();
        depths = 0.0;
        for (const MaskPeak& peak : cores) hills.push_back(&peak), depths += peak.depth * peak.depth;
      }
    }
    count.colonyPixels += region.area;
    const std::uint32_t label = ++count.regions;
    if (round) ++count.roundColonies;
    for (const MaskPeak* satellite : satellites) hills.push_back(satellite), depths += satellite->depth * satellite->depth;
    for (const MaskPeak* hill : hills) {
      Colony colony;
      // A lone colony is where its whole region is; a split one where its hill is.
      colony.centre = (hills.size() == 1 ? region.centroid : cv::Point2d(hill->at)) + cv::Point2d(offset);
      colony.area = static_cast<double>(region.area) * hill->depth * hill->depth / depths;
      colony.radius = std::sqrt(colony.area / CV_PI);
      colony.box = region.box + offset;
      colony.kind = hills.size() == 1 ? ColonyKind::lone : ColonyKind::split;
      colony.region = label;
      count.colonies.push_back(colony);
    }
    // Confluent growth shows no colonies of its own: a region whose brightness showed
    // them is those colonies, with none estimated beside them. It spreads as a patch: a
    // band (a label over the agar's edge) is no growth.
    if (kind == RegionKind::confluent && !byBrightness && region.elongation <= confluentElongation &&
        solidity(split, static_cast<int>(r)) >= confluentSolidity) {
      count.confluent = true;
      const int byArea = static_cast<int>(std::lround(static_cast<double>(region.area) / typicalArea));
      placeEstimates(split, static_cast<int>(r), offset, byArea - static_cast<int>(hills.size()), typicalArea, label, count.colonies);
    }
  }
}

// The hills of brightness of the regions of `split` lumpier than their discs and taken
// for colonies, each region's from the highest down: on the contrast smoothed over half
// a dust speck, standing half the threshold above their saddles. Each region is
// smoothed and split in a box around it alone (the smoothing reads past the box where
// the contrast goes on), so that a plate's scattered clumps cost their own area only;
// the heights are binned over all of them, as one split of them all would bin them.
std::vector<std::vector<cv::Point>> hillsOfBrightness(const MaskSplit& split, const std::vector<Judgement>& judgements,
                                                      const cv::Mat& contrast, const Plate& plate, double threshold) {
  std::vector<std::vector<cv::Point>> bright(split.regions.size());
  std::vector<std::size_t> lumpy;
  cv::Rect clumps;
  for (std::size_t r = 0; r < split.regions.size(); ++r)
    if (discCoverage(split.regions[r], split.peaks) > lumpyCoverage && judgements[r].verdict == Verdict::colonies) {
      lumpy.push_back(r);
      clumps = clumps.area() == 0 ? split.regions[r].box : (clumps | split.regions[r].box);
    }
  if (lumpy.empty()) return bright;
  // The contrast is smoothed as far as a halo around all the clumps: beyond it, OpenCV
  // reflects it. Within it, each region's smoothing reads as far as the kernel reaches.
  const double sigma = std::max(1.0, 0.5 * plate.dust);
  const int halo = 3 * static_cast<int>(std::ceil(sigma));
  const int reach = (cvRound(sigma * 4 * 2 + 1) | 1) / 2;  // the kernel's radius, as OpenCV sizes it for floats
  const cv::Rect around = (clumps + cv::Size(2 * halo, 2 * halo) - cv::Point(halo, halo)) & cv::Rect(0, 0, contrast.cols, contrast.rows);
  std::vector<cv::Mat> masks, heights;
  HeightRange range{INFINITY, -INFINITY};
  for (const std::size_t r : lumpy) {
    const cv::Rect box = split.regions[r].box;
    const cv::Rect read = (box + cv::Size(2 * reach, 2 * reach) - cv::Point(reach, reach)) & around;
    cv::Mat height, smooth;
    contrast(read).convertTo(height, CV_32F);
    cv::GaussianBlur(height(box - read.tl()), smooth, cv::Size(), sigma);
    const cv::Mat inRegion = split.regionOf(box) == static_cast<int>(r) + 1;
    double low = 0.0, high = 0.0;
    cv::minMaxLoc(smooth, &low, &high, nullptr, nullptr, inRegion);
    range.low = std::min(range.low, static_cast<float>(low));
    range.high = std::max(range.high, static_cast<float>(high));
    masks.push_back(inRegion);
    heights.push_back(smooth);
  }
  for (std::size_t i = 0; i < lumpy.size(); ++i) {
    const MaskSplit shine = splitByHeight(masks[i], heights[i], brightShare, 0.15 * threshold, range);
    std::vector<const MaskPeak*> byHeight;
    for (const MaskPeak& peak : shine.peaks) byHeight.push_back(&peak);
    std::stable_sort(byHeight.begin(), byHeight.end(), [](const MaskPeak* a, const MaskPeak* b) { return a->depth > b->depth; });
    const cv::Point offset = split.regions[lumpy[i]].box.tl();
    for (const MaskPeak* peak : byHeight) bright[lumpy[i]].push_back(peak->at + offset);
  }
  return bright;
}

}  // namespace

// The smallest colony's radius on a dish seen at `scale`: no smaller hill splits a
// region or sets the scale.
double smallestRadius(const DishEllipse& dish, double scale) {
  return std::max(1.5, smallestColony * 2.0 * dish.semiMajor * scale);
}

// Counts what stands out of `contrast` by more than `threshold`, and what `included`
// sets, but not what `excluded` sets (either of those may be empty).
PolarityCount countPolarity(const cv::Mat& contrast, double threshold, const cv::Mat& excluded, const cv::Mat& included,
                            const CountedArea& area, double scale) {
  const DishEllipse& dish = area.ellipse;
  PolarityCount count;
  cv::Mat mask = contrast > threshold;
  if (!excluded.empty()) mask &= ~excluded;
  if (!included.empty()) mask |= included;
  cv::morphologyEx(mask, mask, cv::MORPH_OPEN, cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(3, 3)));
  // The wall's ring can stand out only in places (a dim photograph, a textured wall):
  // closed over small gaps, it still shows as a ring.
  cv::Mat closed;
  cv::morphologyEx(mask, closed, cv::MORPH_CLOSE, cv::getStructuringElement(cv::MORPH_RECT, cv::Size(5, 5)));
  count.usableFactor = std::max(0.0, agarEdge(closed, dish, area.edgeFrom, area.edgeTo, scale) - edgeMargin);
  const cv::Mat usable = ellipseMask(mask.size(), dish, count.usableFactor, scale);
  count.usablePixels = cv::countNonZero(usable);
  if (const cv::Mat over = overTheEdge(mask, usable, dish, scale); !over.empty()) mask.setTo(cv::Scalar(0), over);
  // Where the dish found reaches past the agar (a lid's rim seen beside the dish, the
  // bench), the agar's own outline bounds what is counted.
  const cv::Mat counted = area.agar ? usable & ellipseMask(mask.size(), *area.agar, outlineOuter, scale) : usable;
  mask &= counted;

  const double dishDiameter = 2.0 * dish.semiMajor * scale;
  Plate plate;
  plate.smallest = smallestRadius(dish, scale);
  // Along the edge, what is left of the wall's ring and the meniscus is thinner than
  // any colony: an opening there takes it off the colonies that grow against the wall.
  // The specks it takes away whole may be pinpoint colonies: they are given back, to be
  // counted as such or not at all.
  const double inner = std::max(0.0, count.usableFactor - edgeBand);
  const double bandShare = (count.usableFactor * count.usableFactor - inner * inner) / std::max(1e-9, inner * inner);
  const cv::Mat innerPart = ellipseMask(mask.size(), dish, inner, scale);
  const cv::Mat band = mask & ~innerPart;
  cv::Mat opened;
  const int width = 2 * static_cast<int>(std::ceil(plate.smallest)) + 1;
  openDisc(band, opened, width / 2);
  const cv::Mat thin = band & ~opened;
  plate.wallSpecks = compactSpecks(thin, width);
  mask.setTo(cv::Scalar(0), thin & ~plate.wallSpecks);
  const double pinpoint = std::max(1.0, pinpointColony * dishDiameter);
  const MaskSplit split = splitMask(mask, plate.smallest, saddleShare, pinpoint);
  plate.typicalRadius = count.typicalRadius = typicalColonyRadius(split, plate.smallest);
  plate.edgeContact = edgeContact(split, counted);
  plate.dust = std::max(plate.smallest, dustShare * plate.typicalRadius);
  // Pinpoints are colonies only beside colonies of the usual size: alone they are dust.
  const auto usual = std::count_if(split.regions.begin(), split.regions.end(),
                                   [&](const MaskRegion& region) { return region.deepest >= plate.smallest; });
  plate.colonyContrast = count.colonyContrast = loneColonyContrast(split, contrast, plate.dust);
  plate.pinpoint = usual >= pinpointCompany ? std::max(pinpoint, dustShare * plate.typicalRadius) : INFINITY;
  // Colonies grow against the wall no more thickly than elsewhere on the dish. Specks
  // along it many times as thick as the colonies inside are the wall's own sheen and
  // grain broken up (or the agar's grain, where a quiet photograph lowered the
  // threshold), not pinpoint colonies. Pinpoint plates' walls show their grain too,
  // some six times as thick as their colonies: only more than that is taken for grain.
  if (!plate.wallSpecks.empty()) {
    int specks = 0, inside = 0;
    for (const MaskRegion& region : split.regions) {
      if (plate.wallSpecks.at<std::uint8_t>(cv::Point(region.centroid)) != 0) specks += pinpointShaped(region, plate.pinpoint);
      else if (region.deepest >= std::min(plate.smallest, plate.pinpoint)) ++inside;
    }
    plate.speckledWall = specks >= speckledWall && crowdTheWall(specks, inside, bandShare, wallCrowding);
  }
  // Each region's judgement, and the hills of brightness of those that may be clumps.
  RegionNotes notes;
  for (std::size_t r = 0; r < split.regions.size(); ++r)
    notes.judgements.push_back(judge(split, static_cast<int>(r),
                                     contrastHistogram(split, static_cast<int>(r), contrast, cv::Point(0, 0)), cv::Point(0, 0),
                                     plate, 0));
  dropWallSheen(split, innerPart, bandShare, notes.judgements);
  notes.bright = hillsOfBrightness(split, notes.judgements, contrast, plate, threshold);
  countRegions(split, contrast, cv::Point(0, 0), plate, 0, &notes, mask, count);

  count.mask = mask;
  return count;
}

}  // namespace corvale
