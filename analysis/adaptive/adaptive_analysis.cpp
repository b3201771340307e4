#include "analysis/adaptive/adaptive_analysis.hpp"

#include <algorithm>
#include <cmath>
#include <optional>

#include <opencv2/imgproc.hpp>

#include "analysis/adaptive/agar_background.hpp"
#include "analysis/adaptive/area_reduction.hpp"
#include "analysis/adaptive/agar_outline.hpp"
#include "analysis/adaptive/colony_scale.hpp"
#include "analysis/adaptive/glare_colonies.hpp"
#include "analysis/adaptive/lightness.hpp"
#include "analysis/adaptive/mask_patches.hpp"
#include "analysis/adaptive/mesh_colonies.hpp"
#include "analysis/adaptive/polarity_count.hpp"

namespace corvale {
namespace {

constexpr double innerFraction = 0.85;       // of the dish's axes: the agar's edge is looked for from here outwards
constexpr double outlineInner = 0.90;        // of the agar's own outline, where that was found: its edge is looked for from here
constexpr double agarCoversDish = 0.8;       // of the dish's area: an agar outline covering less shows the dish found too large
constexpr double agarOffCentre = 0.025;      // of the dish's radius: an agar outline centred farther off shows the dish's fit pulled aside
constexpr double agarFraction = 0.97;        // the agar is estimated over the dish to this share of its axes
constexpr double coarseDiameter = 900.0;     // the dish across, in pixels, when the colony scale is measured
constexpr double reducedSide = 1600.0;       // the long side of the copy the dish is found on and smaller scales come from
constexpr double wantedRadius = 6.0;         // colonies are counted where the typical one is this many pixels in radius
constexpr double noiseMultiple = 6.0;        // colonies stand this many noise spreads off the agar
constexpr double minimumContrast = 12.0;     // and at least this much, in Lab lightness units
constexpr double networkShare = 0.1;         // of the area counted: a darker network this large shows the agar between colonies
constexpr double networkDominates = 10.0;    // when it is this many times what stands out lighter
constexpr double darkWorthCounting = 0.25;   // of the light side's colony pixels: less darker area than this cannot be dark colonies
constexpr double glareLightness = 250.0;     // lightness at which the camera saturates: glare
constexpr double glareShare = 0.002;         // of the dish: glare this large is flagged
constexpr double clippedFill = 0.45;         // a colony's clipped top fills this much of its box at least
constexpr double clippedElongation = 1.5;    // and is no longer than this across
constexpr int clippedColonies = 3;           // saturated patches: this many compact ones are colonies' tops
constexpr double glarePatch = 0.0005;        // of the dish: saturated patches this large are reflections, not a colony's shine
constexpr double otherShare = 0.25;          // of the dish: this much standing out and not colony-shaped is unreadable
constexpr double otherDominates = 10.0;      // or this many times the colonies' area, when it covers
constexpr double otherNoticeable = 0.02;     // this share of the dish at least: a filter's grid, a big reflection
constexpr int countableLimit = 300;          // more colonies than this are beyond the countable range

// Saturated patches of at least `smallest` pixels that are reflections. A photograph
// exposed for the agar clips the tops of the brightest colonies: where several large
// saturated patches are compact (round or square, though ragged: filling nearly half
// their box or more), those are colonies, and only the others are reflections. There,
// `tops` is set on every compact saturated patch of at least `least` pixels: on a
// bright agar a clipped colony may stand out from it by less than the threshold, and
// its clipped top is all that shows of it.
cv::Mat glarePatches(const cv::Mat& saturated, double smallest, double least, cv::Mat& tops) {
  const auto compact = [](const Patch& patch) {
    const int longer = std::max(patch.width(), patch.height()), shorter = std::min(patch.width(), patch.height());
    return longer <= clippedElongation * shorter && patch.area >= clippedFill * patch.width() * patch.height();
  };
  const MaskPatches labelled(saturated);
  const std::vector<Patch>& patches = labelled.patches;
  int large = 0, clipped = 0;
  for (std::size_t i = 1; i < patches.size(); ++i)
    if (patches[i].area >= smallest) ++large, clipped += compact(patches[i]);
  const bool colonyTops = clipped >= clippedColonies && 2 * clipped >= large;
  std::vector<std::uint8_t> kept(patches.size(), 0), top(patches.size(), 0);
  for (std::size_t i = 1; i < patches.size(); ++i) {
    kept[i] = patches[i].area >= smallest && !(colonyTops && compact(patches[i])) ? 255 : 0;
    top[i] = colonyTops && patches[i].area >= least && compact(patches[i]) ? 255 : 0;
  }
  tops = colonyTops ? labelled.chosen(top) : cv::Mat();
  return labelled.chosen(kept);
}

// Whether the ellipse lies within the frame, give or take a hundredth of its size.
bool insideFrame(const DishEllipse& dish, cv::Size frame) {
  const double slack = 0.01 * dish.semiMajor;
  const cv::Rect2d box = cv::RotatedRect(cv::Point2f(dish.centre), cv::Size2f(static_cast<float>(2.0 * dish.semiMajor), static_cast<float>(2.0 * dish.semiMinor)), static_cast<float>(dish.angle)).boundingRect2f();
  return box.x >= -slack && box.y >= -slack && box.br().x <= frame.width + slack && box.br().y <= frame.height + slack;
}

// One polarity at one scale: its agar, threshold and count.
struct Side {
  AgarModel agar;
  cv::Mat fromAgar;  // CV_16S: how far each pixel stands out from the agar's level
  double threshold = 0.0;
  PolarityCount count;
};

struct Pass {
  double scale = 1.0;
  cv::Mat photo;  // the photograph at `scale`
  cv::Mat lightness;
  cv::Mat glare;
  Side light, dark;
};

Side countSide(const cv::Mat& lightness, const cv::Mat& agarArea, const cv::Mat& excluded, const cv::Mat& included,
               const CountedArea& area, double scale) {
  Side side;
  side.agar = estimateAgar(lightness, agarArea, 2.0 * area.ellipse.semiMajor * scale);
  side.threshold = std::max(noiseMultiple * side.agar.noise, minimumContrast);
  side.fromAgar = side.agar.fromLevel;
  side.count = countPolarity(side.fromAgar, side.threshold, excluded, included, area, scale);
  return side;
}

// The photograph, and a copy reduced once to serve every smaller scale.
struct Photograph {
  const cv::Mat& bgr;
  cv::Mat reduced;
  double reduction = 1.0;  // the reduced copy's scale
};

// Which sides to count: both where undecided, otherwise what an earlier pass decided.
struct Sides {
  bool light = true;
  bool dark = true;
  bool decided = false;
};

Pass countAtScale(const Photograph& photograph, const CountedArea& area, double scale, Sides sides) {
  const DishEllipse& dish = area.ellipse;
  Pass pass;
  pass.scale = scale;
  if (scale >= 1.0) pass.photo = photograph.bgr;
  else if (scale <= photograph.reduction) {
    const cv::Size size(std::max(1, cvRound(photograph.bgr.cols * scale)), std::max(1, cvRound(photograph.bgr.rows * scale)));
    reduceByArea(photograph.reduced, pass.photo, size, static_cast<double>(size.width) / photograph.reduced.cols,
                 static_cast<double>(size.height) / photograph.reduced.rows);
  }
  else resizeBy(photograph.bgr, pass.photo, scale, cv::INTER_AREA);
  cv::Mat lightness;
  lightnessOf(pass.photo, lightness);
  const cv::Mat agarArea = ellipseMask(lightness.size(), dish, agarFraction, scale);
  // Glare: patches so bright that the camera saturated, too large to be the shine on a
  // colony's dome. Nothing can be seen under them. Where they are colonies' clipped
  // tops instead, those tops (no smaller than the smallest colony) are colonies on the
  // light side, however little they stand out from a bright agar.
  pass.lightness = lightness;
  const double smallest = smallestRadius(dish, scale);
  cv::Mat tops;
  pass.glare = glarePatches(lightness >= glareLightness, glarePatch * CV_PI * dish.semiMajor * dish.semiMinor * scale * scale,
                            CV_PI * smallest * smallest, tops);
  // Nothing is excluded (an empty matrix) where there is no glare; otherwise its
  // surroundings, found in the box around it.
  cv::Mat nearGlare;
  if (const cv::Rect box = cv::boundingRect(pass.glare); box.area() > 0) {
    const cv::Rect around = (box + cv::Size(4, 4) - cv::Point(2, 2)) & cv::Rect(0, 0, pass.glare.cols, pass.glare.rows);
    nearGlare = cv::Mat::zeros(pass.glare.size(), CV_8UC1);
    cv::dilate(pass.glare(around), nearGlare(around), cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(5, 5)));
  }
  if (sides.light) pass.light = countSide(lightness, agarArea, nearGlare, tops, area, scale);
  if (sides.decided) {
    if (sides.dark) pass.dark = countSide(255 - lightness, agarArea, cv::Mat(), cv::Mat(), area, scale);
    return pass;
  }
  // The dark side is looked at only where the light side's agar shows a fair amount
  // darker than its threshold: on most plates it holds a little writing and shadow,
  // and counting it would only cost time.
  const cv::Mat darkerThanAgar = pass.light.fromAgar < -pass.light.threshold;
  const int darkPixels = cv::countNonZero(darkerThanAgar & agarArea);
  if (darkPixels >= darkWorthCounting * std::max(1, cv::countNonZero(pass.light.count.mask)))
    pass.dark = countSide(255 - lightness, agarArea, cv::Mat(), cv::Mat(), area, scale);
  return pass;
}

// Whether the colonies are darker than the agar: the dark side must show clearly more
// round colonies and more colonies of the usual size in all (half as many again) than
// the light side.
// Lighter colonies are the rule; where they grow into each other few are round, and
// the patches of agar left between them look like dark round colonies, but not
// clearly more of them.
bool darker(const Pass& pass) {
  const PolarityCount &light = pass.light.count, &dark = pass.dark.count;
  // Located colonies of the usual size: pinpoints and estimates are weak evidence.
  const auto usual = [](const PolarityCount& count) {
    return static_cast<double>(count.colonies.size() - static_cast<std::size_t>(countEstimated(count.colonies))) - count.pinpoints;
  };
  // Light colonies covering most of the dish leave the agar showing between them as a
  // darker network, and the light side sees little but their texture: what is darker
  // is mostly shapeless, covers a fair share of the dish and many times what is lighter.
  const double darkNetwork = static_cast<double>(dark.otherPixels);
  if (darkNetwork > static_cast<double>(dark.colonyPixels) && darkNetwork > networkShare * static_cast<double>(dark.usablePixels) &&
      darkNetwork > networkDominates * static_cast<double>(light.colonyPixels + light.otherPixels))
    return true;
  // Dark specks that stand out far less than the light side's lone colonies are the
  // agar's grain or the photograph's noise, however many of them are round.
  if (light.colonyContrast > 0.0 && dark.colonyContrast < faintShare * light.colonyContrast) return false;
  return dark.roundColonies > 1.5 * light.roundColonies + 2 && usual(dark) > 1.5 * usual(light);
}

// Which way a pass's colonies differ from the agar (see `darker`): both where each
// side shows many round colonies, and the side with fewer is mostly colony-shaped. What
// stands out on a side that is mostly shapeless (agar showing between colonies, the
// wall's texture, writing) breaks into round pieces too, and they are not colonies.
struct Polarity {
  bool dark = false;
  bool both = false;
  int major = 0;        // round colonies on the side that shows more
  int minor = 0;        // and on the other
  int chosenRound = 0;  // on the side chosen
};

Polarity choosePolarity(const Pass& pass) {
  const int light = pass.light.count.roundColonies, dark = pass.dark.count.roundColonies;
  Polarity polarity;
  polarity.dark = darker(pass);
  polarity.major = std::max(light, dark);
  polarity.minor = std::min(light, dark);
  const PolarityCount& fewer = light >= dark ? pass.dark.count : pass.light.count;
  polarity.both = polarity.minor >= 10 && 2 * polarity.minor >= polarity.major && fewer.otherPixels <= fewer.colonyPixels;
  polarity.chosenRound = polarity.dark ? dark : light;
  return polarity;
}

}  // namespace

AdaptiveCount countColoniesAdaptive(const cv::Mat& bgr, AdaptiveStages* stages) {
  AdaptiveCount result;
  // One reduced copy serves the dish and the counting at every smaller scale: a
  // 12-megapixel photograph is not read through more than once.
  Photograph photograph{bgr, bgr, std::min(1.0, reducedSide / std::max(1, std::max(bgr.cols, bgr.rows)))};
  if (photograph.reduction < 1.0)
    resizeBy(bgr, photograph.reduced, photograph.reduction, cv::INTER_AREA);
  const double reduction = photograph.reduction;
  // The circle, the ellipse and the agar's outline are found on one smaller copy.
  const DishView view = dishView(photograph.reduced);
  result.dish = findDishCircle(view);
  result.dish.centre *= 1.0 / reduction;
  result.dish.radius /= reduction;
  const auto toFull = [reduction](DishEllipse e) {
    e.centre *= 1.0 / reduction;
    e.semiMajor /= reduction;
    e.semiMinor /= reduction;
    return e;
  };
  DishCircle reducedCircle = result.dish;
  reducedCircle.centre *= reduction;
  reducedCircle.radius *= reduction;
  const DishEllipse reducedEllipse = fitDishEllipse(view, reducedCircle);
  result.ellipse = toFull(reducedEllipse);
  // Colonies are counted on the agar, within the dish. Where the dish runs out of the
  // frame its rim is partly hidden and its fit less sure; where the agar's own outline
  // lies off the dish's middle, the fit was pulled aside (by a faint stretch of rim or
  // a shadow beside it: the agar fills the dish's bottom evenly); and where the outline
  // covers clearly less than the dish found, that took in some of the bench. There the
  // agar's outline, where it stands out, is counted within instead. In the last case
  // nothing beyond the outline is: the dish's wall was not found, and may be as light
  // as the colonies.
  CountedArea area{result.ellipse, innerFraction, 1.0, std::nullopt};
  if (const std::optional<DishEllipse> agar = findAgarOutline(view, reducedEllipse)) {
    area.agar = toFull(*agar);
    const double cover = agar->semiMajor * agar->semiMinor / (reducedEllipse.semiMajor * reducedEllipse.semiMinor);
    const double aside = cv::norm(agar->centre - reducedEllipse.centre) / reducedEllipse.semiMajor;
    if (cover < agarCoversDish)
      area = CountedArea{toFull(*agar), outlineInner, 1.0, std::nullopt};
    else if (!insideFrame(reducedEllipse, photograph.reduced.size()) || aside > agarOffCentre)
      area = CountedArea{toFull(*agar), outlineInner, outlineOuter, std::nullopt};
  }
  // The circle reported is the ellipse's major axis, which is the dish's true diameter
  // however it was tilted, around the centre of the area counted.
  result.dish.centre = area.ellipse.centre;
  result.dish.radius = result.ellipse.semiMajor;
  result.dish.found = result.ellipse.found;
  if (!result.dish.found) result.flags.push_back("no dish rim found: the whole frame was taken as the dish");
  if (result.ellipse.semiMajor < 4.0) {
    result.unsuitable = "the picture is too small to show a dish";
    result.flags.push_back("unsuitable: " + result.unsuitable);
    return result;
  }

  // The colony scale first, on a copy where the dish is some 900 pixels across; then,
  // where the colonies are too small there, the count at a scale that resolves them.
  const double coarse = std::min(1.0, coarseDiameter / (2.0 * result.ellipse.semiMajor));
  Pass pass = countAtScale(photograph, area, coarse, Sides{});
  // Which way the colonies differ from the agar is decided at this scale, where the
  // agar's own texture does not yet show as specks, when the side chosen shows a few
  // round colonies; otherwise again where the colonies are counted.
  Polarity polarity = choosePolarity(pass);
  const bool sure = polarity.chosenRound >= pinpointCompany;
  const double found = polarity.dark ? pass.dark.count.typicalRadius : pass.light.count.typicalRadius;
  const double scale = countingScale(coarse, found, wantedRadius);
  if (scale > 1.2 * coarse && polarity.major > 0) {
    const bool light = polarity.both || !polarity.dark, dark = polarity.both || polarity.dark;
    pass = countAtScale(photograph, area, scale, sure ? Sides{light, dark, true} : Sides{});
    if (!sure) polarity = choosePolarity(pass);
  }
  result.countingScale = pass.scale;
  const bool dark = polarity.dark, both = polarity.both;
  const int major = polarity.major, minor = polarity.minor;

  result.polarity = both ? ColonyPolarity::both : dark ? ColonyPolarity::dark : ColonyPolarity::light;
  const Side& side = dark ? pass.dark : pass.light;
  const PolarityCount& chosen = side.count;

  result.agarLightness = dark ? 255.0 - side.agar.lightness : side.agar.lightness;
  result.noise = side.agar.noise;
  result.threshold = side.agar.level + side.threshold;
  result.typicalArea = CV_PI * chosen.typicalRadius * chosen.typicalRadius / (pass.scale * pass.scale);
  const DishEllipse& counted = area.ellipse;
  result.usableRadius = chosen.usableFactor * counted.semiMajor;
  result.usableArea = CV_PI * counted.semiMajor * counted.semiMinor * chosen.usableFactor * chosen.usableFactor;
  std::int64_t colonyPixels = chosen.colonyPixels, otherPixels = chosen.otherPixels;
  for (const Colony& colony : chosen.colonies) result.colonies.push_back(unreduced(colony, pass.scale));
  cv::Mat mask = chosen.mask;
  if (both) {
    const PolarityCount& other = dark ? pass.light.count : pass.dark.count;
    for (Colony colony : other.colonies) {
      colony.region += static_cast<std::uint32_t>(1 << 30);  // regions of the other polarity apart from the first
      result.colonies.push_back(unreduced(colony, pass.scale));
    }
    colonyPixels += other.colonyPixels;
    mask = mask | other.mask;
  }

  const double usableWorking = result.usableArea * pass.scale * pass.scale;
  const cv::Mat usableMask = ellipseMask(pass.glare.size(), counted, chosen.usableFactor, pass.scale);
  if (!dark && cv::countNonZero(pass.glare) > 0) {
    // Colonies darker than a reflection stand out from it by twice what they stand out
    // from the agar; those already counted at its edge are left alone.
    cv::Mat found = cv::Mat::zeros(pass.glare.size(), CV_8UC1);
    for (const Colony& colony : chosen.colonies)
      cv::circle(found, cv::Point(colony.centre), static_cast<int>(std::ceil(colony.radius)), cv::Scalar(255), cv::FILLED);
    for (const Colony& colony : coloniesInGlare(pass.lightness, pass.glare, usableMask, found, chosen.typicalRadius,
                                                2.0 * side.threshold, chosen.regions + 1)) {
      result.colonies.push_back(unreduced(colony, pass.scale));
      colonyPixels += static_cast<std::int64_t>(colony.area);
    }
  }
  result.colonyPixels = static_cast<std::int64_t>(static_cast<double>(colonyPixels) / (pass.scale * pass.scale));
  if (cv::countNonZero(pass.glare & usableMask) > glareShare * usableWorking)
    result.flags.push_back("glare: reflections hide part of the dish; colonies under them may be missed");
  if (!both && minor >= 5 && 4 * minor >= major)
    result.flags.push_back(std::string("polarity unsure: some colonies look ") + (dark ? "lighter" : "darker") +
                           " than the agar and were not counted");
  const auto other = static_cast<double>(otherPixels);
  // Dark colonies stand out from the agar as separate rounded shapes. When more of
  // what is darker than the agar is shapeless than colony-shaped, it is a network:
  // a filter's grid lines, or the agar showing between light colonies that cover most
  // of the dish. The few round pieces of such a network are no colonies; large
  // colonies filling its meshes are.
  const bool network = dark && !both && other > static_cast<double>(colonyPixels);
  std::optional<MeshColonies> between;
  if (network) between = coloniesInMeshes(chosen.mask, usableMask, pass.lightness);
  if (between) {
    result.colonies.clear();
    for (const Colony& colony : between->colonies) result.colonies.push_back(unreduced(colony, pass.scale));
    colonyPixels = between->colonyPixels;
    result.colonyPixels = static_cast<std::int64_t>(static_cast<double>(colonyPixels) / (pass.scale * pass.scale));
    result.typicalArea = CV_PI * between->typicalRadius * between->typicalRadius / (pass.scale * pass.scale);
    result.polarity = ColonyPolarity::light;
    mask = between->mask;
  }
  if (other > otherShare * usableWorking ||
      (other > otherDominates * static_cast<double>(colonyPixels) && other > otherNoticeable * usableWorking)) {
    result.unsuitable = "most of what stands out from the agar is not shaped like colonies (a grid, a filter, reflections "
                        "or writing); the count is unreliable";
    result.flags.push_back("unsuitable: " + result.unsuitable);
  } else if (network && !between) {
    result.unsuitable = "most of what is darker than the agar is not shaped like colonies (a filter's grid, or agar "
                        "showing between light colonies that cover the dish); the count is unreliable";
    result.flags.push_back("unsuitable: " + result.unsuitable);
  } else if (const PolarityCount& darkSide = pass.dark.count;
             !dark && !both && result.colonies.empty() && darkSide.usablePixels > 0 &&
             static_cast<double>(darkSide.colonyPixels) > networkShare * static_cast<double>(darkSide.usablePixels)) {
    // Light colonies packed over most of the dish set the level taken for the agar:
    // nothing stands out lighter than them, and the agar between them stands out
    // darker, in pieces.
    result.unsuitable = "nothing stands out lighter than the agar, yet a tenth of the dish or more stands out darker in "
                        "pieces: colonies covering most of the dish may have been taken for the agar; the count is unreliable";
    result.flags.push_back("unsuitable: " + result.unsuitable);
  }
  if (chosen.confluent || between || static_cast<double>(colonyPixels) > 0.4 * usableWorking)
    result.flags.push_back("confluent growth: colonies have merged into large areas");
  if (static_cast<int>(result.colonies.size()) > countableLimit)
    result.flags.push_back("too numerous: more than " + std::to_string(countableLimit) + " colonies");

  if (stages != nullptr) {
    stages->dish = pass.photo.clone();
    const auto outline = [&](const DishEllipse& e, double factor) {
      return cv::RotatedRect(cv::Point2f(e.centre * pass.scale),
                             cv::Size2f(static_cast<float>(2.0 * e.semiMajor * factor * pass.scale),
                                        static_cast<float>(2.0 * e.semiMinor * factor * pass.scale)),
                             static_cast<float>(e.angle));
    };
    cv::ellipse(stages->dish, outline(result.ellipse, 1.0), cv::Scalar(0, 255, 255), 2);
    cv::ellipse(stages->dish, outline(counted, chosen.usableFactor), cv::Scalar(0, 255, 0), 2);
    stages->background = dark ? 255 - side.agar.background : side.agar.background;
    side.fromAgar.convertTo(stages->contrast, CV_8U, 4.0, 0.0);
    stages->mask = mask;
  }
  return result;
}

std::string_view colonyPolarityName(ColonyPolarity polarity) {
  switch (polarity) {
    case ColonyPolarity::light: return "light";
    case ColonyPolarity::dark: return "dark";
    case ColonyPolarity::both: return "both";
  }
  return "light";
}

}  // namespace corvale
