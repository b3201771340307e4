// The adaptive method on plates drawn here with a known number of colonies (different
// agars and benches, uneven light, touching pairs, dust and glare), on the generator's
// mixed plates scored mark by mark, and its pieces on shapes drawn for them.

#include <gtest/gtest.h>

#include <cmath>
#include <algorithm>
#include <set>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <numeric>
#include <tuple>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "analysis/adaptive/adaptive_analysis.hpp"
#include "analysis/adaptive/agar_outline.hpp"
#include "analysis/adaptive/area_reduction.hpp"
#include "analysis/adaptive/chamfer_distance.hpp"
#include "analysis/adaptive/circle_hough.hpp"
#include "analysis/adaptive/colony_scale.hpp"
#include "analysis/adaptive/disc_morphology.hpp"
#include "analysis/adaptive/glare_colonies.hpp"
#include "analysis/adaptive/lightness.hpp"
#include "analysis/adaptive/mask_patches.hpp"
#include "analysis/adaptive/non_colonies.hpp"
#include "analysis/adaptive/region_splitting.hpp"
#include "analysis/dish_analysis.hpp"
#include "analysis/image_outputs.hpp"
#include "plate_generator.hpp"
#include "temporary_folder.hpp"

namespace corvale {
namespace {

struct PlateRecipe {
  const char* name;
  cv::Scalar bench;
  cv::Scalar agar;
  cv::Scalar colony;
  int singles;
  int touchingPairs;
  int dust;
  double lightSlope;  // lightness change across the dish, in grey levels
  bool glare;
  cv::Scalar wall{215, 215, 215};
  int darkSingles = 0;  // colonies drawn in `darkColony` besides the others
  cv::Scalar darkColony{10, 10, 60};
};

struct DrawnPlate {
  cv::Mat photograph;
  int colonies = 0;
};

// A 1200 x 1200 photograph: the bench, a dish of radius 520 with a wall (light unless the
// recipe says otherwise), the agar lit unevenly from one side, colonies of radius 9 to 12
// (some in touching pairs) that never overlap each other or the wall, specks of dust, an
// optional glare patch, blur and noise.
DrawnPlate drawPlate(const PlateRecipe& recipe, std::uint64_t seed) {
  const cv::Point centre(600, 600);
  cv::Mat photo(1200, 1200, CV_8UC3, recipe.bench);
  cv::circle(photo, centre, 540, recipe.wall, cv::FILLED);
  cv::circle(photo, centre, 520, recipe.agar, cv::FILLED);
  cv::RNG rng(seed);
  std::vector<cv::Vec3f> placed;  // x, y, radius
  const auto fits = [&](cv::Point2f at, float radius) {
    if (cv::norm(at - cv::Point2f(centre)) > 430.0f) return false;
    if (recipe.glare && cv::norm(at - cv::Point2f(600, 860)) < 130.0f) return false;
    for (const cv::Vec3f& other : placed)
      if (cv::norm(at - cv::Point2f(other[0], other[1])) < radius + other[2] + 6.0f) return false;
    return true;
  };
  DrawnPlate plate;
  const auto drawColony = [&](cv::Point2f at, float radius, const cv::Scalar& colour) {
    cv::circle(photo, cv::Point(at), static_cast<int>(radius), colour, cv::FILLED, cv::LINE_AA);
    placed.push_back({at.x, at.y, radius});
    ++plate.colonies;
  };
  for (int i = 0; i < recipe.singles + recipe.darkSingles; ++i) {
    for (int attempt = 0; attempt < 1000; ++attempt) {
      const cv::Point2f at(rng.uniform(150.0f, 1050.0f), rng.uniform(150.0f, 1050.0f));
      const float radius = rng.uniform(9.0f, 12.0f);
      if (!fits(at, radius)) continue;
      drawColony(at, radius, i < recipe.singles ? recipe.colony : recipe.darkColony);
      break;
    }
  }
  for (int i = 0; i < recipe.touchingPairs; ++i) {
    for (int attempt = 0; attempt < 1000; ++attempt) {
      const cv::Point2f at(rng.uniform(150.0f, 1050.0f), rng.uniform(150.0f, 1050.0f));
      const float angle = rng.uniform(0.0f, static_cast<float>(CV_2PI));
      const cv::Point2f partner = at + 19.0f * cv::Point2f(std::cos(angle), std::sin(angle));
      if (!fits(at, 10.0f) || !fits(partner, 10.0f + 12.0f)) continue;
      drawColony(at, 10.5f, recipe.colony);
      drawColony(partner, 10.5f, recipe.colony);
      break;
    }
  }
  for (int i = 0; i < recipe.dust; ++i) {
    const cv::Point at(rng.uniform(200, 1000), rng.uniform(200, 1000));
    cv::circle(photo, at, 1, cv::Scalar::all(235), cv::FILLED);
  }
  if (recipe.glare) cv::ellipse(photo, cv::Point(600, 860), cv::Size(90, 40), 0, 0, 360, cv::Scalar::all(255), cv::FILLED);

  cv::GaussianBlur(photo, photo, cv::Size(), 1.2);
  // Uneven light: brighter towards the right.
  cv::Mat light(photo.size(), CV_32F);
  for (int x = 0; x < light.cols; ++x) light.col(x).setTo(recipe.lightSlope * (x - 600.0) / 1200.0);
  cv::Mat shaded;
  photo.convertTo(shaded, CV_32FC3);
  std::vector<cv::Mat> channels;
  cv::split(shaded, channels);
  for (cv::Mat& channel : channels) channel += light;
  cv::merge(channels, shaded);
  cv::Mat noise(photo.size(), CV_32FC3);
  rng.fill(noise, cv::RNG::NORMAL, 0.0, 2.5);
  shaded += noise;
  shaded.convertTo(plate.photograph, CV_8UC3);
  return plate;
}

const PlateRecipe recipes[] = {
    {"blood agar on a dark bench", {40, 40, 40}, {30, 30, 150}, {200, 215, 225}, 120, 20, 40, 30.0, false},
    {"chocolate agar, sparse", {60, 55, 50}, {40, 60, 95}, {185, 200, 210}, 12, 2, 20, 20.0, false},
    {"clear agar on black, dense", {15, 15, 15}, {120, 130, 135}, {225, 230, 235}, 230, 40, 60, 25.0, false},
    {"blood agar on a white bench, glare", {235, 235, 235}, {35, 35, 160}, {200, 215, 225}, 100, 15, 30, 30.0, true},
    {"grey transilluminated plate", {10, 10, 10}, {90, 90, 90}, {200, 200, 200}, 150, 25, 40, 20.0, false},
};

// The lightness must be OpenCV's Lab L channel bit for bit, for every colour: the counts
// were measured on it. The colour the agar's outline is found by stays within one unit.
TEST(AdaptiveMethod, GivesOpenCVsLightnessForEveryColour) {
  cv::Mat every(4096, 4096, CV_8UC3);
  for (int i = 0; i < (1 << 24); ++i) {
    auto* pixel = every.ptr<std::uint8_t>() + 3 * i;
    pixel[0] = static_cast<std::uint8_t>(i), pixel[1] = static_cast<std::uint8_t>(i >> 8), pixel[2] = static_cast<std::uint8_t>(i >> 16);
  }
  cv::Mat lab, expected, lightness;
  cv::cvtColor(every, lab, cv::COLOR_BGR2Lab);
  cv::extractChannel(lab, expected, 0);
  lightnessOf(every, lightness);
  EXPECT_EQ(cv::countNonZero(lightness != expected), 0);
  // A view into a larger image is read row by row.
  lightnessOf(every(cv::Rect(3, 5, 101, 7)), lightness);
  EXPECT_EQ(cv::countNonZero(lightness != expected(cv::Rect(3, 5, 101, 7))), 0);
  // The agar's colour: L the same, a and b at most one off, and that for very few colours.
  cv::Mat ours, difference;
  labOf(every, ours);
  cv::absdiff(ours, lab, difference);
  std::vector<cv::Mat> channels;
  cv::split(difference, channels);
  EXPECT_EQ(cv::countNonZero(channels[0]), 0);
  for (int c = 1; c < 3; ++c) {
    EXPECT_LE(cv::norm(channels[static_cast<std::size_t>(c)], cv::NORM_INF), 1.0) << "channel " << c;
    EXPECT_LT(cv::countNonZero(channels[static_cast<std::size_t>(c)]), 2000) << "channel " << c;
  }
}

// The reduction must give OpenCV's INTER_AREA result bit for bit: the counts were
// measured on it. Factors given directly and as sizes, odd sizes, whole steps (left to
// OpenCV) and one and three channels.
TEST(AdaptiveMethod, ReducesByAreaExactlyAsOpenCVDoes) {
  struct Case {
    cv::Size source;
    int type;
    double factor;      // given as the factor, or 0 to give `reduced` as the size
    cv::Size reduced;
  };
  const Case cases[] = {{{1001, 777}, CV_8UC3, 0.574, {}},  {{1001, 777}, CV_8UC3, 0.37, {}},  {{1001, 777}, CV_8UC1, 0.3333, {}},
                        {{640, 480}, CV_8UC3, 0.0, {389, 291}}, {{97, 203}, CV_8UC1, 0.0, {13, 200}},
                        {{640, 480}, CV_8UC3, 0.5, {}},        {{300, 200}, CV_8UC3, 0.1, {}}};
  cv::RNG random(7);
  for (const Case& c : cases) {
    cv::Mat source(c.source, c.type);
    random.fill(source, cv::RNG::UNIFORM, 0, 256);
    cv::Mat expected, reduced;
    if (c.factor > 0.0) {
      cv::resize(source, expected, cv::Size(), c.factor, c.factor, cv::INTER_AREA);
      reduceByArea(source, reduced, expected.size(), c.factor, c.factor);
    } else {
      cv::resize(source, expected, c.reduced, 0, 0, cv::INTER_AREA);
      reduceByArea(source, reduced, c.reduced, static_cast<double>(c.reduced.width) / c.source.width,
                   static_cast<double>(c.reduced.height) / c.source.height);
    }
    ASSERT_EQ(reduced.size(), expected.size()) << c.source << " by " << c.factor;
    EXPECT_EQ(cv::norm(reduced, expected, cv::NORM_INF), 0.0) << c.source << " by " << c.factor << " to " << c.reduced;
  }
}

// Dilation and erosion by a disc, row by row of the disc, against OpenCV's own: noise
// and sparse specks (where the border matters), images smaller than the disc, and a
// result written into a view of a larger image.
// Patches found run by run against OpenCV's own 8-connected components: the same
// areas and boxes, and each patch drawn back over its component. Sparse and dense
// noise (runs that touch only diagonally), a full mask, an empty one and a single row.
TEST(AdaptiveMethod, FindsPatchesAsOpenCVsConnectedComponents) {
  cv::RNG random(13);
  const auto noise = [&](cv::Size size, int above) {
    cv::Mat values(size, CV_8UC1);
    random.fill(values, cv::RNG::UNIFORM, 0, 256);
    return cv::Mat(values > above);
  };
  const cv::Mat masks[] = {noise({131, 97}, 240), noise({131, 97}, 128), noise({40, 30}, 200), noise({64, 80}, 40),
                           cv::Mat(20, 30, CV_8UC1, cv::Scalar(255)), cv::Mat::zeros(20, 30, CV_8UC1), noise({200, 1}, 128)};
  for (const cv::Mat& mask : masks) {
    const MaskPatches found(mask);
    cv::Mat labels, stats, centroids;
    const int count = cv::connectedComponentsWithStats(mask, labels, stats, centroids, 8, CV_32S);
    std::multiset<std::tuple<int, int, int, int, int>> ours, theirs;
    for (std::size_t i = 1; i < found.patches.size(); ++i) {
      const Patch& p = found.patches[i];
      ours.insert({p.area, p.low.x, p.low.y, p.width(), p.height()});
    }
    for (int i = 1; i < count; ++i)
      theirs.insert({stats.at<int>(i, cv::CC_STAT_AREA), stats.at<int>(i, cv::CC_STAT_LEFT), stats.at<int>(i, cv::CC_STAT_TOP),
                     stats.at<int>(i, cv::CC_STAT_WIDTH), stats.at<int>(i, cv::CC_STAT_HEIGHT)});
    EXPECT_EQ(ours, theirs) << mask.size();
    // Each patch drawn in its own number covers one component of OpenCV's, whole.
    if (found.patches.size() > 256) continue;
    std::vector<std::uint8_t> own(found.patches.size());
    std::iota(own.begin(), own.end(), 0);
    const cv::Mat drawn = found.chosen(own);
    EXPECT_EQ(cv::countNonZero(drawn), cv::countNonZero(mask));
    for (int i = 1; i < count; ++i) {
      double low = 0.0, high = 0.0;
      cv::minMaxLoc(drawn, &low, &high, nullptr, nullptr, labels == i);
      EXPECT_EQ(low, high) << mask.size() << " component " << i;
      EXPECT_EQ(found.patches[static_cast<std::size_t>(high)].area, stats.at<int>(i, cv::CC_STAT_AREA));
    }
  }
}

TEST(AdaptiveMethod, DilatesAndErodesByADiscExactlyAsOpenCVDoes) {
  cv::RNG random(11);
  cv::Mat noise(97, 131, CV_8UC1), specks(120, 80, CV_8UC1), tiny(7, 30, CV_8UC1);
  random.fill(noise, cv::RNG::UNIFORM, 0, 256);
  random.fill(specks, cv::RNG::UNIFORM, 0, 256);
  specks = specks > 250;
  random.fill(tiny, cv::RNG::UNIFORM, 0, 256);
  // A few ragged patches far apart, two against the image's corners: opened piece by
  // piece.
  cv::Mat sparse(400, 360, CV_8UC1), patches = cv::Mat::zeros(sparse.size(), CV_8UC1);
  random.fill(sparse, cv::RNG::UNIFORM, 0, 256);
  for (const cv::Point centre : {cv::Point(2, 2), cv::Point(355, 398), cv::Point(180, 40), cv::Point(60, 250), cv::Point(300, 200)})
    cv::circle(patches, centre, 14, cv::Scalar(255), cv::FILLED);
  sparse = (sparse > 4) & patches;
  for (const cv::Mat& image : {noise, specks, tiny, sparse})
    for (const int radius : {0, 1, 3, 8, 18}) {
      const cv::Mat disc = cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(2 * radius + 1, 2 * radius + 1));
      cv::Mat expected, found;
      for (const int op : {cv::MORPH_DILATE, cv::MORPH_ERODE, cv::MORPH_OPEN, cv::MORPH_CLOSE}) {
        cv::morphologyEx(image, expected, op, disc);
        if (op == cv::MORPH_DILATE) dilateDisc(image, found, radius);
        if (op == cv::MORPH_ERODE) erodeDisc(image, found, radius);
        if (op == cv::MORPH_OPEN) openDisc(image, found, radius);
        if (op == cv::MORPH_CLOSE) closeDisc(image, found, radius);
        EXPECT_EQ(cv::norm(found, expected, cv::NORM_INF), 0.0) << image.size() << " radius " << radius << " op " << op;
      }
    }
  cv::Mat frame = cv::Mat::zeros(200, 200, CV_8UC1), view = frame(cv::Rect(50, 60, specks.cols, specks.rows));
  dilateDisc(specks, view, 5);
  cv::Mat expected;
  cv::dilate(specks, expected, cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(11, 11)));
  EXPECT_EQ(cv::norm(frame(cv::Rect(50, 60, specks.cols, specks.rows)), expected, cv::NORM_INF), 0.0);
  EXPECT_EQ(cv::countNonZero(frame) - cv::countNonZero(expected), 0);
}

// Sparse and dense noise, discs large enough to run the distances far from any edge, a
// full mask (every distance from the frame's edge), an empty one, a single row and
// column, and a view into a larger image.
TEST(AdaptiveMethod, MeasuresDistancesExactlyAsOpenCVsChamferDoes) {
  cv::RNG random(17);
  std::vector<cv::Mat> masks;
  for (const int above : {250, 128, 20}) {
    cv::Mat noise(83, 157, CV_8UC1);
    random.fill(noise, cv::RNG::UNIFORM, 0, 256);
    masks.push_back(noise > above);
  }
  cv::Mat discs = cv::Mat::zeros(300, 260, CV_8UC1);
  for (int i = 0; i < 12; ++i)
    cv::circle(discs, cv::Point(random.uniform(0, 260), random.uniform(0, 300)), random.uniform(5, 70), cv::Scalar(255), cv::FILLED);
  masks.push_back(discs);
  masks.push_back(cv::Mat(40, 90, CV_8UC1, cv::Scalar(1)));
  masks.push_back(cv::Mat::zeros(9, 9, CV_8UC1));
  masks.push_back(discs.row(150).clone());
  masks.push_back(discs.col(130).clone());
  masks.push_back(discs(cv::Rect(30, 40, 101, 77)));
  for (const cv::Mat& mask : masks) {
    cv::Mat expected, found;
    cv::distanceTransform(mask, expected, cv::DIST_L2, cv::DIST_MASK_5);
    chamferDistance(mask, found);
    EXPECT_EQ(cv::norm(found, expected, cv::NORM_INF), 0.0) << mask.size();
  }
}

// The dish is found with OpenCV's gradient Hough transform, worked out faster: the same
// circles must come out in the same order, votes included. Generated plates (a dish
// filling the view, a small one, a tilted one), noise, a blank view, and thresholds
// and radius ranges as the dish finder uses them.
TEST(AdaptiveMethod, FindsCirclesAsOpenCVsHoughTransformDoes) {
  std::vector<cv::Mat> views;
  const std::vector<testing::PlateRecipe> recipes = testing::mixedRecipes();
  for (std::size_t i = 0; i < recipes.size(); i += 5) {
    testing::PlateRecipe recipe = recipes[i];
    recipe.size = 512;
    if (i == 5) recipe.dishFraction = 0.25;
    if (i == 10) recipe.tilt = 0.85;
    views.push_back(testing::generatePlate(recipe, 11 + i).photograph);
  }
  cv::Mat noise(300, 420, CV_8UC3);
  cv::RNG(5).fill(noise, cv::RNG::UNIFORM, 0, 256);
  views.push_back(noise);
  views.push_back(cv::Mat(200, 300, CV_8UC3, cv::Scalar::all(90)));
  for (const cv::Mat& view : views) {
    cv::Mat grey;
    cv::cvtColor(view, grey, cv::COLOR_BGR2GRAY);
    cv::GaussianBlur(grey, grey, cv::Size(5, 5), 1.5);
    const int shortSide = std::min(grey.cols, grey.rows), longSide = std::max(grey.cols, grey.rows);
    for (const auto& [votes, least, most] : {std::tuple{80.0, shortSide * 3 / 10, longSide * 6 / 10},
                                            std::tuple{40.0, shortSide * 2 / 10, shortSide * 3 / 10},
                                            std::tuple{25.0, 5, 40}}) {
      std::vector<cv::Vec4f> expected;
      cv::HoughCircles(grey, expected, cv::HOUGH_GRADIENT, 1.0, 5.0, 80.0, votes, least, most);
      const std::vector<cv::Vec4f> found = houghCircles(grey, 5.0, 80.0, votes, least, most);
      ASSERT_EQ(found.size(), expected.size()) << grey.size() << " votes " << votes << " radii " << least << "-" << most;
      for (std::size_t i = 0; i < found.size(); ++i) EXPECT_EQ(found[i], expected[i]) << "circle " << i;
    }
  }
}

// The split describes the whole frame though only the box around the mask is flooded:
// its regions are the mask's connected patches, with OpenCV's areas and centroids, and
// their depths are OpenCV's distance map with the frame's edge as background. Masks
// away from the edges, against them and empty.
TEST(AdaptiveMethod, SplitsMasksAsOpenCVMeasuresThem) {
  const std::vector<std::vector<cv::Vec3i>> masks = {
      {{60, 50, 9}, {75, 50, 8}, {130, 90, 12}},  // a pair and a lone disc, inside
      {{0, 40, 10}, {150, 119, 14}, {90, 60, 5}},  // discs cut by the frame's edges
      {}};
  for (const auto& discs : masks) {
    cv::Mat mask = cv::Mat::zeros(120, 160, CV_8UC1);
    for (const cv::Vec3i& d : discs) cv::circle(mask, {d[0], d[1]}, d[2], cv::Scalar(255), cv::FILLED);
    const MaskSplit split = splitMask(mask, 1.5, 0.1);
    cv::Mat labels, stats, centres, padded, distance;
    const int found = cv::connectedComponentsWithStats(mask, labels, stats, centres, 8, CV_32S);
    cv::copyMakeBorder(mask, padded, 1, 1, 1, 1, cv::BORDER_CONSTANT, cv::Scalar(0));
    cv::distanceTransform(padded, distance, cv::DIST_L2, cv::DIST_MASK_5);
    ASSERT_EQ(static_cast<int>(split.regions.size()), found - 1) << discs.size() << " discs";
    for (const MaskRegion& region : split.regions) {
      const int label = labels.at<std::int32_t>(cv::Point(region.centroid));
      ASSERT_GT(label, 0);
      EXPECT_EQ(region.area, stats.at<int>(label, cv::CC_STAT_AREA));
      EXPECT_NEAR(region.centroid.x, centres.at<double>(label, 0), 1e-9);
      EXPECT_NEAR(region.centroid.y, centres.at<double>(label, 1), 1e-9);
      double deepest = 0.0;
      cv::minMaxLoc(distance(cv::Rect(1, 1, mask.cols, mask.rows)), nullptr, &deepest, nullptr, nullptr, labels == label);
      EXPECT_FLOAT_EQ(region.deepest, static_cast<float>(deepest));
    }
  }
}

TEST(AdaptiveMethod, CountsSyntheticPlatesWithinFivePercent) {
  for (const PlateRecipe& recipe : recipes) {
    const DrawnPlate plate = drawPlate(recipe, 17);
    const AdaptiveCount count = countColoniesAdaptive(plate.photograph);
    const double error = std::abs(static_cast<int>(count.colonies.size()) - plate.colonies) / static_cast<double>(plate.colonies);
    EXPECT_LE(error, 0.05) << recipe.name << ": counted " << static_cast<int>(count.colonies.size()) << " of " << plate.colonies;
    std::printf("%-36s drawn %3d counted %3d\n", recipe.name, plate.colonies, static_cast<int>(count.colonies.size()));
    EXPECT_TRUE(count.dish.found) << recipe.name;
    EXPECT_NEAR(count.dish.centre.x, 600.0, 15.0) << recipe.name;
    const bool flaggedGlare = !count.flags.empty() && count.flags.front().rfind("glare", 0) == 0;
    EXPECT_EQ(flaggedGlare, recipe.glare) << recipe.name;
  }
}

TEST(AdaptiveMethod, DustAloneCountsAtMostOneAndAFrameWithoutDishIsFlagged) {
  PlateRecipe empty = recipes[0];
  empty.singles = empty.touchingPairs = 0;
  // Forty specks of dust: where two fall together they can reach the smallest size a
  // colony may have, but no more than that.
  const AdaptiveCount none = countColoniesAdaptive(drawPlate(empty, 3).photograph);
  EXPECT_LE(static_cast<int>(none.colonies.size()), 1);

  const cv::Mat uniform(600, 800, CV_8UC3, cv::Scalar(40, 60, 150));
  const AdaptiveCount frame = countColoniesAdaptive(uniform);
  EXPECT_FALSE(frame.dish.found);
  EXPECT_EQ(static_cast<int>(frame.colonies.size()), 0);
  ASSERT_FALSE(frame.flags.empty());
  EXPECT_EQ(frame.flags.front().rfind("no dish rim found", 0), 0u);
}

// A membrane filter: a white disc ruled with a dark grid, a few dark colonies between
// the lines. The grid is darker than the agar but no colony; the plate cannot be read
// and says so, whatever the few round pieces would count.
TEST(AdaptiveMethod, FlagsAGridOfDarkLinesAsUnsuitable) {
  struct Filter {
    int spacing;
    int line;
    int colonies;
  };
  for (const Filter filter : {Filter{100, 2, 60}, Filter{90, 2, 40}, Filter{120, 3, 50}}) {
    cv::Mat photo(1200, 1200, CV_8UC3, cv::Scalar(40, 40, 40));
    cv::circle(photo, cv::Point(600, 600), 540, cv::Scalar(215, 215, 215), cv::FILLED);
    cv::Mat disc(photo.size(), CV_8UC1, cv::Scalar(0));
    cv::circle(disc, cv::Point(600, 600), 520, cv::Scalar(255), cv::FILLED);
    photo.setTo(cv::Scalar(235, 235, 235), disc);
    cv::Mat grid = photo.clone();
    for (int at = 80; at < 1200; at += filter.spacing) {
      cv::line(grid, cv::Point(at, 0), cv::Point(at, 1199), cv::Scalar(150, 110, 90), filter.line);
      cv::line(grid, cv::Point(0, at), cv::Point(1199, at), cv::Scalar(150, 110, 90), filter.line);
    }
    grid.copyTo(photo, disc);
    cv::RNG rng(filter.spacing);
    for (int i = 0; i < filter.colonies; ++i)
      cv::circle(photo, cv::Point(rng.uniform(300, 900), rng.uniform(300, 900)), 6, cv::Scalar(140, 60, 30), cv::FILLED);
    cv::GaussianBlur(photo, photo, cv::Size(), 1.2);
    const AdaptiveCount count = countColoniesAdaptive(photo);
    EXPECT_FALSE(count.unsuitable.empty()) << "spacing " << filter.spacing << ": counted " << count.colonies.size();
  }
}

// Found by fuzzing: on a picture only a few pixels across the wall ring had a negative
// radius and the drawing library threw. A long thin picture once reduced to no pixels.
TEST(AdaptiveMethod, TinyPicturesCountWithoutFailing) {
  cv::RNG rng(9);
  for (const cv::Size size : {cv::Size(1, 1), cv::Size(3, 5), cv::Size(24, 56), cv::Size(19, 19), cv::Size(1, 4000),
                              cv::Size(4000, 2)}) {
    cv::Mat picture(size, CV_8UC3);
    rng.fill(picture, cv::RNG::UNIFORM, 0, 256);
    cv::Mat ring = picture.clone();
    ring.setTo(cv::Scalar::all(255));
    for (const cv::Mat& image : {picture, ring}) {
      AdaptiveCount count;
      EXPECT_NO_THROW(count = countColoniesAdaptive(image)) << size;
      EXPECT_GE(static_cast<int>(count.colonies.size()), 0);
    }
  }
}

TEST(AdaptiveMethod, FullAnalysisReportsTheSameFieldsAndWritesTheStages) {
  testing::TemporaryFolder folder;
  const DrawnPlate plate = drawPlate(recipes[0], 5);
  const std::string path = (folder.path() / "plate.png").string();
  ASSERT_TRUE(cv::imwrite(path, plate.photograph));
  std::filesystem::create_directory(folder.path() / "debug");
  DishAnalysis result = analysePhotographFile(path, CountingMethod::adaptive, AnalysisSettings{});
  writeAnalysisImages(result, ImageOutputs{true, folder.path(), ""}, StageOutputs{folder.path() / "debug", "plate."});
  ASSERT_TRUE(result.ok()) << *result.error;
  const ColonyStatistics& s = *result.statistics;
  EXPECT_NEAR(s.colonyCount, plate.colonies, 0.05 * plate.colonies);
  EXPECT_GT(s.percentage, 0.0);
  EXPECT_LT(s.percentage, 20.0);
  // 100 mm over the dish's 1040-pixel diameter: a colony of radius 10.5 covers about 3.2 mm^2.
  EXPECT_NEAR(s.medianColonyAreaMm2, 3.2, 1.2);
  EXPECT_NEAR(s.estimatedYeasts, plate.colonies, 0.1 * plate.colonies);
  for (const char* stage : {"plate.1-dish.jpg", "plate.2-background.jpg", "plate.3-contrast.jpg", "plate.4-mask.png",
                            "plate.5-colonies.jpg"})
    EXPECT_TRUE(std::filesystem::exists(folder.path() / "debug" / stage)) << stage;
  for (const char* image : {"threshold.jpg", "centroid.jpg", "bb.jpg"})
    EXPECT_TRUE(std::filesystem::exists(folder.path() / image)) << image;
  EXPECT_NE(formatReport(result, "\n").find("Number of Colonies: "), std::string::npos);
}

// The typical radius comes from the lone round colonies only when they are a fair part
// of the mask: specks at the rim beside large touching colonies do not set the scale.
TEST(AdaptiveMethod, TakesTheColonyScaleFromWhatHoldsTheMask) {
  struct Case {
    int loneRadius;
    int lone;
    int pairs;  // touching pairs of radius 20
    double typical;
  };
  for (const Case c : {Case{3, 6, 4, 20.0}, Case{10, 6, 2, 10.0}, Case{12, 8, 0, 12.0}}) {
    cv::Mat mask(500, 500, CV_8UC1, cv::Scalar(0));
    for (int i = 0; i < c.lone; ++i) cv::circle(mask, cv::Point(40 + 70 * i, 40), c.loneRadius, cv::Scalar(255), cv::FILLED);
    for (int i = 0; i < c.pairs; ++i) {
      const cv::Point at(60 + 110 * i, 200 + 100 * (i % 2));
      cv::circle(mask, at, 20, cv::Scalar(255), cv::FILLED);
      cv::circle(mask, at + cv::Point(36, 0), 20, cv::Scalar(255), cv::FILLED);
    }
    const double typical = typicalColonyRadius(splitMask(mask, 1.5, 0.10), 1.5);
    EXPECT_NEAR(typical, c.typical, 0.15 * c.typical) << c.lone << " lone of radius " << c.loneRadius << ", " << c.pairs << " pairs";
  }
}

// Shapes drawn into a mask, what they are, and how many colonies they hold: a lone
// colony is one whatever its size, touching colonies are split by the saddles of the
// distance map, and arcs, rings and strokes are no colonies.
TEST(AdaptiveMethod, JudgesShapesByTheirHills) {
  struct Case {
    const char* name;
    void (*draw)(cv::Mat&);
    RegionKind kind;
    std::size_t colonies;
  };
  const Case cases[] = {
      {"small lone colony", [](cv::Mat& m) { cv::circle(m, {100, 100}, 6, 255, cv::FILLED); }, RegionKind::colonies, 1},
      {"large lone colony", [](cv::Mat& m) { cv::circle(m, {100, 100}, 70, 255, cv::FILLED); }, RegionKind::colonies, 1},
      {"touching pair", [](cv::Mat& m) { cv::circle(m, {80, 100}, 12, 255, cv::FILLED), cv::circle(m, {101, 100}, 12, 255, cv::FILLED); },
       RegionKind::colonies, 2},
      {"chain of four", [](cv::Mat& m) { for (int i = 0; i < 4; ++i) cv::circle(m, {50 + 19 * i, 100}, 11, 255, cv::FILLED); },
       RegionKind::colonies, 4},
      {"crescent", [](cv::Mat& m) { cv::circle(m, {100, 100}, 60, 255, cv::FILLED), cv::circle(m, {115, 100}, 57, 0, cv::FILLED); },
       RegionKind::other, 0},
      {"lid ring", [](cv::Mat& m) { cv::circle(m, {100, 100}, 80, 255, 3); }, RegionKind::other, 0},
      {"marker stroke", [](cv::Mat& m) { cv::line(m, {30, 60}, {170, 140}, 255, 6); }, RegionKind::other, 0},
  };
  for (const Case& c : cases) {
    cv::Mat mask = cv::Mat::zeros(200, 200, CV_8UC1);
    c.draw(mask);
    const MaskSplit split = splitMask(mask, 2.0, 0.1);
    ASSERT_EQ(split.regions.size(), 1u) << c.name;
    const RegionKind kind = judgeRegion(split.regions[0], split.peaks, 10.0, 2.0);
    EXPECT_EQ(kind, c.kind) << c.name;
    if (kind == RegionKind::colonies) {
      EXPECT_EQ(split.regions[0].peaks.size(), c.colonies) << c.name;
    }
  }
}

// Three colonies packed in a triangle make one round shape with one hill of distance,
// but each is domed: the brightness shows three.
TEST(AdaptiveMethod, SplitsPackedColoniesByTheirBrightness) {
  cv::Mat mask = cv::Mat::zeros(120, 120, CV_8UC1);
  cv::Mat height = cv::Mat::zeros(120, 120, CV_32FC1);
  const cv::Point centres[] = {{50, 50}, {68, 50}, {59, 65}};
  for (const cv::Point& at : centres) {
    cv::circle(mask, at, 11, 255, cv::FILLED);
    for (int y = at.y - 11; y <= at.y + 11; ++y)
      for (int x = at.x - 11; x <= at.x + 11; ++x) {
        const double r = std::hypot(x - at.x, y - at.y);
        if (r <= 11.0) height.at<float>(y, x) = std::max(height.at<float>(y, x), static_cast<float>(60.0 + 40.0 * (1.0 - r / 11.0)));
      }
  }
  EXPECT_EQ(splitByHeight(mask, height, 0.05, 3.0).peaks.size(), 3u);
}

// Clumps split each in its own box, with the heights binned over all of them, give the
// hills one split of them all gives: noise makes many hills and close heights.
TEST(AdaptiveMethod, SplitsPatchesByHeightAloneAsTogether) {
  cv::Mat mask = cv::Mat::zeros(150, 200, CV_8UC1), height(150, 200, CV_32FC1);
  cv::RNG random(5);
  random.fill(height, cv::RNG::UNIFORM, 0.0, 80.0);
  cv::GaussianBlur(height, height, cv::Size(), 2.0);
  const cv::Rect boxes[] = {{10, 10, 60, 50}, {100, 20, 70, 90}, {20, 90, 50, 50}};
  for (const cv::Rect& box : boxes) cv::ellipse(mask, (box.tl() + box.br()) / 2, box.size() / 2 - cv::Size(1, 1), 0, 0, 360, 255, cv::FILLED);
  const auto described = [](const MaskPeak& peak, cv::Point offset) {
    return std::to_string(peak.at.x + offset.x) + "," + std::to_string(peak.at.y + offset.y) + ":" + std::to_string(peak.depth) + "/" + std::to_string(peak.area);
  };
  std::multiset<std::string> together, alone;
  for (const MaskPeak& peak : splitByHeight(mask, height, 0.05, 1.0).peaks) together.insert(described(peak, {0, 0}));
  double low = 0.0, high = 0.0;
  cv::minMaxLoc(height, &low, &high, nullptr, nullptr, mask);
  for (const cv::Rect& box : boxes)
    for (const MaskPeak& peak : splitByHeight(mask(box).clone(), height(box).clone(), 0.05, 1.0,
                                              HeightRange{static_cast<float>(low), static_cast<float>(high)}).peaks)
      alone.insert(described(peak, box.tl()));
  EXPECT_GT(together.size(), 10u);
  EXPECT_EQ(alone, together);
}

TEST(AdaptiveMethod, FitsATiltedDishAsAnEllipse) {
  cv::Mat photo(900, 1200, CV_8UC3, cv::Scalar(40, 40, 40));
  cv::ellipse(photo, cv::RotatedRect({600, 450}, {800, 600}, 20), cv::Scalar(30, 30, 150), cv::FILLED);
  const DishEllipse dish = fitDishEllipse(photo, findDishCircle(photo));
  ASSERT_TRUE(dish.found);
  EXPECT_NEAR(dish.semiMajor, 400.0, 12.0);
  EXPECT_NEAR(dish.semiMinor, 300.0, 12.0);
  EXPECT_NEAR(cv::norm(dish.centre - cv::Point2d(600, 450)), 0.0, 8.0);
  // A dish seen slightly askew, with its wall and colonies: the circle found fits its
  // long axis, and is no fit of the dish.
  for (const std::size_t recipe : {0u, 1u, 3u}) {
    testing::PlateRecipe askew = testing::mixedRecipes()[recipe];
    askew.tilt = 0.94;
    const testing::GeneratedPlate plate = testing::generatePlate(askew, 8 + 2 * recipe);
    const DishEllipse fitted = fitDishEllipse(plate.photograph, findDishCircle(plate.photograph));
    EXPECT_NEAR(fitted.semiMinor / fitted.semiMajor, 0.94, 0.025) << askew.name;
  }
}

// The agar's own outline, from a guess of the dish that is off: a dish running out of
// the frame with its rim found off centre, and a tilted dish taken for a circle that
// reaches onto the bench.
TEST(AdaptiveMethod, FindsTheAgarOutlineFromAGuessThatIsOff) {
  struct Case {
    cv::Size frame;
    cv::RotatedRect agar;
    DishEllipse guess;
  };
  const Case cases[] = {
      {{1000, 1000}, cv::RotatedRect({500, 500}, {960, 960}, 0), {{440, 560}, 560, 560, 0, true}},
      {{1400, 1000}, cv::RotatedRect({720, 520}, {760, 560}, 30), {{640, 450}, 460, 460, 0, true}},
  };
  for (const Case& c : cases) {
    cv::Mat photo(c.frame, CV_8UC3, cv::Scalar(60, 60, 60));
    cv::ellipse(photo, cv::RotatedRect(c.agar.center, c.agar.size + cv::Size2f(50, 50), c.agar.angle), cv::Scalar(190, 190, 190), 12);
    cv::ellipse(photo, c.agar, cv::Scalar(40, 60, 150), cv::FILLED);
    for (int i = 0; i < 40; ++i)  // colonies
      cv::circle(photo, c.agar.center + cv::Point2f(static_cast<float>(i % 8 - 4) * 40, static_cast<float>(i / 8 - 2) * 40), 8,
                 cv::Scalar(220, 230, 235), cv::FILLED);
    const std::optional<DishEllipse> agar = findAgarOutline(photo, c.guess);
    ASSERT_TRUE(agar.has_value());
    EXPECT_NEAR(cv::norm(agar->centre - cv::Point2d(c.agar.center)), 0.0, 10.0);
    EXPECT_NEAR(agar->semiMajor, c.agar.size.width / 2.0, 15.0);
    EXPECT_NEAR(agar->semiMinor, std::min(c.agar.size.width, c.agar.size.height) / 2.0, 15.0);
  }
}

// Colonies under a saturated reflection are found by their shaded side; the
// reflection alone gives none.
TEST(AdaptiveMethod, FindsColoniesUnderGlare) {
  for (const int colonies : {0, 4}) {
    cv::Mat lightness(200, 200, CV_8UC1, cv::Scalar(120));
    lightness(cv::Rect(50, 50, 100, 100)).setTo(cv::Scalar(255));
    std::vector<cv::Point> centres;
    for (int i = 0; i < colonies; ++i) {
      centres.emplace_back(75 + 50 * (i % 2), 75 + 50 * (i / 2));
      cv::circle(lightness, centres.back(), 7, cv::Scalar(180), cv::FILLED);
      cv::circle(lightness, centres.back() - cv::Point(2, 2), 3, cv::Scalar(255), cv::FILLED);  // its shine
    }
    const cv::Mat glare = lightness >= 250;
    const cv::Mat everywhere(lightness.size(), CV_8UC1, cv::Scalar(255));
    const std::vector<Colony> found =
        coloniesInGlare(lightness, glare, everywhere, cv::Mat::zeros(lightness.size(), CV_8UC1), 7.0, 24.0, 1);
    ASSERT_EQ(found.size(), centres.size());
    for (const cv::Point& centre : centres)
      EXPECT_TRUE(std::any_of(found.begin(), found.end(), [&](const Colony& c) { return cv::norm(c.centre - cv::Point2d(centre)) < 4.0; }));
  }
}

// Faint light shapes (the wall's reflection along the edge, a lighter patch of agar
// under colonies, droplets of condensation) get no marks of their own; colonies
// standing on the patch are still counted.
TEST(AdaptiveMethod, LeavesFaintReflectionsUncounted) {
  const struct {
    const char* name;
    double blur;
    void (*draw)(cv::Mat&);
  } shapes[] = {
      {"reflection along the wall", 6.0, [](cv::Mat& m) { cv::ellipse(m, {600, 600}, {470, 470}, 0, 200, 340, cv::Scalar::all(1), 40); }},
      {"lighter patch", 6.0, [](cv::Mat& m) { cv::circle(m, {480, 520}, 140, cv::Scalar::all(1), cv::FILLED); }},
      {"condensation", 1.5, [](cv::Mat& m) {
         for (int i = 0; i < 60; ++i) cv::circle(m, {300 + 97 * i % 600, 300 + 61 * i % 600}, 5, cv::Scalar::all(1), cv::FILLED);
       }},
  };
  for (const auto& shape : shapes) {
    DrawnPlate plate = drawPlate(recipes[0], 23);
    cv::Mat faint = cv::Mat::zeros(plate.photograph.size(), CV_32F);
    shape.draw(faint);
    cv::GaussianBlur(faint, faint, cv::Size(), shape.blur);
    cv::Mat lighter;
    cv::merge(std::vector<cv::Mat>(3, faint * 25.0), lighter);
    cv::Mat photograph;
    plate.photograph.convertTo(photograph, CV_32FC3);
    photograph += lighter;
    photograph.convertTo(plate.photograph, CV_8UC3);
    const AdaptiveCount count = countColoniesAdaptive(plate.photograph);
    EXPECT_EQ(countEstimated(count.colonies), 0) << shape.name;
    EXPECT_NEAR(static_cast<double>(count.colonies.size()), plate.colonies, 0.03 * plate.colonies) << shape.name;
  }
}

// Small colonies near the wall are no thicker than what is left there of the wall's
// ring, but they are round specks apart from it: they are counted.
TEST(AdaptiveMethod, CountsSmallColoniesNearTheWall) {
  DrawnPlate plate = drawPlate(recipes[0], 29);
  const PlateRecipe& recipe = recipes[0];
  constexpr int small = 16;
  for (int i = 0; i < small; ++i) {
    const double angle = CV_2PI * i / small;
    const cv::Point at(cvRound(600 + 505 * std::cos(angle)), cvRound(600 + 505 * std::sin(angle)));
    cv::circle(plate.photograph, at, 3, recipe.colony, cv::FILLED, cv::LINE_AA);
  }
  const AdaptiveCount count = countColoniesAdaptive(plate.photograph);
  int byWall = 0;
  for (const Colony& colony : count.colonies) byWall += cv::norm(colony.centre - cv::Point2d(600, 600)) > 493.0;
  EXPECT_GE(byWall, small - 2);
  EXPECT_LE(byWall, small);
}

// A dish's shadow on a light bench, cast downwards, pulls the dish's fit aside; the
// agar's outline, in the dish's middle, bounds the count instead, and the colonies all
// round the agar's edge are counted.
TEST(AdaptiveMethod, CountsWithinTheAgarWhereTheDishFitIsPulledAside) {
  cv::Mat photo(1000, 1000, CV_8UC3, cv::Scalar(225, 228, 228));
  cv::circle(photo, {500, 535}, 450, cv::Scalar(110, 110, 110), cv::FILLED, cv::LINE_AA);
  cv::GaussianBlur(photo, photo, cv::Size(0, 0), 8);
  cv::circle(photo, {500, 500}, 450, cv::Scalar(215, 218, 218), cv::FILLED, cv::LINE_AA);  // the wall
  cv::circle(photo, {500, 500}, 430, cv::Scalar(30, 30, 140), cv::FILLED, cv::LINE_AA);   // the agar
  constexpr int byEdge = 24;
  for (int i = 0; i < byEdge; ++i) {
    const double angle = CV_2PI * i / byEdge;
    const cv::Point at(cvRound(500 + 418 * std::cos(angle)), cvRound(500 + 418 * std::sin(angle)));
    cv::circle(photo, at, 8, cv::Scalar(200, 215, 225), cv::FILLED, cv::LINE_AA);
  }
  const AdaptiveCount count = countColoniesAdaptive(photo);
  EXPECT_LT(cv::norm(count.dish.centre - cv::Point2d(500, 500)), 4.0);
  EXPECT_EQ(count.colonies.size(), static_cast<std::size_t>(byEdge));
}

// An underexposed photograph: a dark agar on a dark bench, its wall a few grey levels
// lighter. The rim is too faint for the edge thresholds until the levels are stretched.
TEST(AdaptiveMethod, FindsTheDishOfAnUnderexposedPhotograph) {
  cv::Mat photo(900, 1000, CV_8UC3, cv::Scalar::all(22));
  cv::circle(photo, {500, 450}, 392, cv::Scalar::all(34), cv::FILLED, cv::LINE_AA);
  cv::circle(photo, {500, 450}, 380, cv::Scalar(28, 36, 36), cv::FILLED, cv::LINE_AA);
  for (int i = 0; i < 12; ++i)
    cv::circle(photo, cv::Point(500 + (i % 4 - 2) * 120 + 60, 450 + (i / 4 - 1) * 150), 12, cv::Scalar(48, 56, 56), cv::FILLED);
  cv::GaussianBlur(photo, photo, cv::Size(), 1.5);
  const DishCircle dish = findDishCircle(photo);
  ASSERT_TRUE(dish.found);
  EXPECT_NEAR(dish.radius, 392.0, 14.0);
  EXPECT_NEAR(cv::norm(dish.centre - cv::Point2d(500, 450)), 0.0, 6.0);
}

// Large colonies packed over most of the dish: the agar shows only as a darker network
// between them, and they are counted from its meshes. Where they leave the agar in
// pieces between them rather than a network, and set the level taken for the agar,
// the count is marked unreliable rather than reported as none.
TEST(AdaptiveMethod, CountsColoniesThatCoverMostOfTheDish) {
  for (const int radius : {55, 45}) {
    cv::Mat photo(1200, 1200, CV_8UC3, cv::Scalar::all(40));
    cv::circle(photo, {600, 600}, 540, cv::Scalar::all(215), cv::FILLED);
    cv::circle(photo, {600, 600}, 520, cv::Scalar(30, 30, 150), cv::FILLED);
    cv::RNG rng(43);
    int colonies = 0;
    const double pitch = radius / 55.0;  // the colonies as far apart for their size
    for (int row = -6; row <= 6; ++row)
      for (int column = -6; column <= 6; ++column) {
        const cv::Point2d at(600 + 116.0 * pitch * (column + 0.5 * (row & 1)), 600 + 100.0 * pitch * row);
        if (cv::norm(at - cv::Point2d(600, 600)) > 430.0) continue;
        cv::circle(photo, cv::Point(at), radius + rng.uniform(-3, 3), cv::Scalar(200, 215, 225), cv::FILLED, cv::LINE_AA);
        ++colonies;
      }
    cv::GaussianBlur(photo, photo, cv::Size(), 1.5);
    cv::Mat noise(photo.size(), CV_16SC3);
    rng.fill(noise, cv::RNG::NORMAL, 0.0, 2.5);
    photo.convertTo(photo, CV_16SC3);
    photo += noise;
    photo.convertTo(photo, CV_8UC3);
    const AdaptiveCount count = countColoniesAdaptive(photo);
    const bool close = std::abs(static_cast<double>(count.colonies.size()) - colonies) <= 0.1 * colonies;
    EXPECT_TRUE(close || !count.unsuitable.empty()) << "radius " << radius << ": " << count.colonies.size() << " of " << colonies;
    if (radius == 55) {
      EXPECT_TRUE(close) << count.colonies.size() << " of " << colonies;
    }
  }
}

// An overexposed photograph clips the tops of the brighter colonies to white: those are
// colonies, not reflections hiding them. On a pale agar brightened until it nearly
// clips too, a clipped top stands out from the agar by less than the threshold, and is
// all that shows of its colony.
TEST(AdaptiveMethod, CountsColoniesWhoseTopsAreClipped) {
  for (const auto& [recipe, gain] : {std::pair{2u, 1.4}, {10u, 1.4}, {5u, 1.34}, {21u, 1.34}}) {
    testing::GeneratedPlate plate = testing::generatePlate(testing::mixedRecipes()[recipe], 14 + recipe);
    plate.photograph.convertTo(plate.photograph, -1, gain);
    const AdaptiveCount count = countColoniesAdaptive(plate.photograph);
    std::vector<cv::Point2d> marks;
    for (const Colony& colony : count.colonies) marks.push_back(colony.centre);
    const testing::PlateScore score = testing::scoreMarks(plate, marks);
    EXPECT_LE(score.countError(), 0.05) << recipe;
    EXPECT_GE(score.recall(), 0.85) << recipe;
    EXPECT_GE(score.precision(), 0.9) << recipe;
  }
}

// Light and dark colonies on one plate are both counted.
TEST(AdaptiveMethod, CountsLightAndDarkColoniesOnOnePlate) {
  PlateRecipe mixed = recipes[0];
  mixed.singles = 40;
  mixed.touchingPairs = 0;
  mixed.darkSingles = 30;
  const DrawnPlate plate = drawPlate(mixed, 37);
  const AdaptiveCount count = countColoniesAdaptive(plate.photograph);
  EXPECT_EQ(count.polarity, ColonyPolarity::both);
  EXPECT_NEAR(static_cast<double>(count.colonies.size()), plate.colonies, 0.05 * plate.colonies);
}

// A sparse plate whose wall's sheen breaks into specks along the agar's edge, pinpoint
// specks or colony-sized beads: they crowd the edge far more thickly than colonies grow
// on the dish, and are no colonies.
TEST(AdaptiveMethod, LeavesTheSpecksOfASpeckledWallUncounted) {
  struct Case {
    int specks;
    int radius;
    double from, to;  // how far out from the dish's centre
  };
  for (const Case& c : {Case{40, 2, 509.0, 514.0}, Case{30, 5, 505.0, 510.0}}) {
    PlateRecipe sparse = recipes[0];
    sparse.singles = 6;
    sparse.touchingPairs = 0;
    sparse.dust = 0;
    DrawnPlate plate = drawPlate(sparse, 41);
    cv::RNG rng(43);
    for (int i = 0; i < c.specks; ++i) {
      const double angle = rng.uniform(0.0, CV_2PI), radius = rng.uniform(c.from, c.to);
      cv::circle(plate.photograph, cv::Point2d(600.0 + radius * std::cos(angle), 600.0 + radius * std::sin(angle)), c.radius,
                 sparse.colony, cv::FILLED, cv::LINE_AA);
    }
    const AdaptiveCount count = countColoniesAdaptive(plate.photograph);
    EXPECT_LE(static_cast<int>(count.colonies.size()), plate.colonies + 1) << c.specks << " specks of radius " << c.radius;
    EXPECT_GE(static_cast<int>(count.colonies.size()), plate.colonies) << c.specks << " specks of radius " << c.radius;
  }
}

// Clumps whose necks the threshold fills, blurred so that each shows one round,
// lumpy shape: large domed colonies with three small ones grown against each, and
// chains of three colonies of even brightness. Every colony is counted, not one a clump.
TEST(AdaptiveMethod, CountsTheColoniesOfClumpsWhoseNecksAreFilled) {
  struct Clump {
    double radius;     // of the first colony
    double others;     // of the others
    int count;         // others beside it
    double spacing;    // the others' centres from the first's, over the sum of the radii
    double margin;     // brightness at the edge over that in the middle: 1 for even colonies
    bool around;       // the others around the first (or in a chain from it)
  };
  for (const Clump& c : {Clump{36.0, 11.0, 3, 0.9, 0.2, true}, Clump{20.0, 12.0, 2, 0.85, 1.0, false}}) {
    cv::Mat photo(1000, 1000, CV_8UC3, cv::Scalar(40, 40, 40));
    cv::circle(photo, {500, 500}, 450, cv::Scalar(200, 200, 200), cv::FILLED, cv::LINE_AA);
    cv::circle(photo, {500, 500}, 435, cv::Scalar(30, 30, 150), cv::FILLED, cv::LINE_AA);
    cv::Mat lift(photo.size(), CV_32F, cv::Scalar(0));  // how far each pixel goes towards the colonies' colour
    const auto dome = [&](cv::Point2d at, double radius, double margin) {
      for (int y = cvFloor(at.y - radius); y <= cvCeil(at.y + radius); ++y)
        for (int x = cvFloor(at.x - radius); x <= cvCeil(at.x + radius); ++x)
          if (const double r = std::hypot(x - at.x, y - at.y) / radius; r <= 1.0)
            lift.at<float>(y, x) = std::max(lift.at<float>(y, x), static_cast<float>(margin + (1.0 - margin) * (1.0 - r * r)));
    };
    int colonies = 0;
    for (int i = 0; i < 9; ++i, colonies += 1 + c.count) {
      const cv::Point2d centre(260.0 + 240.0 * (i % 3), 260.0 + 240.0 * (i / 3));
      dome(centre, c.radius, c.margin);
      for (int k = 0; k < c.count; ++k) {
        const double angle = c.around ? CV_2PI * k / c.count + i : i;
        dome(centre + (k + 1 - c.around * k) * c.spacing * (c.radius + c.others) * cv::Point2d(std::cos(angle), std::sin(angle)),
             c.others, c.margin);
      }
    }
    for (int i = 0; i < 8; ++i, ++colonies)
      dome(cv::Point2d(500.0, 500.0) + 120.0 * cv::Point2d(std::cos(i * CV_PI / 4), std::sin(i * CV_PI / 4)), 16.0, 0.35);
    cv::GaussianBlur(lift, lift, cv::Size(0, 0), 3.0);
    for (int y = 0; y < photo.rows; ++y)
      for (int x = 0; x < photo.cols; ++x)
        if (const float t = std::min(1.0f, lift.at<float>(y, x)); t > 0.0f) {
          cv::Vec3b& pixel = photo.at<cv::Vec3b>(y, x);
          for (int ch = 0; ch < 3; ++ch)
            pixel[ch] = cv::saturate_cast<std::uint8_t>(pixel[ch] + t * (cv::Vec3d(200, 215, 225)[ch] - pixel[ch]));
        }
    EXPECT_NEAR(static_cast<double>(countColoniesAdaptive(photo).colonies.size()), colonies, 2.0) << c.radius << " and " << c.others;
  }
}

// A paper label stuck across the dish's edge, written on in two lines, is no colony
// where it lies over the agar: beside a dark wall, and where it joins a wall as light
// as itself.
TEST(AdaptiveMethod, LeavesALabelOverTheEdgeUncounted) {
  struct Case {
    double wall;
    cv::RotatedRect label;
    cv::Point text;  // where the first line starts
    double font;
  };
  const Case cases[] = {{55.0, cv::RotatedRect({600.0f, 110.0f}, {340.0f, 130.0f}, 8.0f), {470, 100}, 1.0},
                        {235.0, cv::RotatedRect({600.0f, 120.0f}, {340.0f, 70.0f}, 8.0f), {450, 115}, 0.8}};
  for (const Case& c : cases) {
    PlateRecipe withWall = recipes[0];
    withWall.wall = cv::Scalar::all(c.wall);
    DrawnPlate plate = drawPlate(withWall, 31);
    cv::Point2f corners[4];
    c.label.points(corners);
    std::vector<cv::Point> outline(corners, corners + 4);
    cv::fillConvexPoly(plate.photograph, outline, cv::Scalar::all(240), cv::LINE_AA);
    for (int line = 0; line < 2; ++line)
      cv::putText(plate.photograph, "48h 1e-4", c.text + cv::Point(0, cvRound(40 * c.font) * line), cv::FONT_HERSHEY_SIMPLEX,
                  c.font, cv::Scalar::all(60), cvRound(3 * c.font));
    const AdaptiveCount count = countColoniesAdaptive(plate.photograph);
    EXPECT_NEAR(static_cast<double>(count.colonies.size()), plate.colonies, 0.03 * plate.colonies) << "wall " << c.wall;
  }
}

// Every mixed recipe, scored mark by mark. The targets hold over the whole set; a
// single plate may miss by more, but none may fall apart.
TEST(AdaptiveMethod, LocatesTheColoniesOfMixedGeneratedPlates) {
  const char* keep = std::getenv("CORVALE_KEEP_PLATES");  // a folder to write the plates to, for looking at
  std::vector<double> errors;
  int truth = 0, marks = 0, matched = 0;
  int index = 0;
  for (const testing::PlateRecipe& recipe : testing::mixedRecipes()) {
    const testing::GeneratedPlate plate = testing::generatePlate(recipe, 100 + index);
    const AdaptiveCount count = countColoniesAdaptive(plate.photograph);
    std::vector<cv::Point2d> located;
    for (const Colony& colony : count.colonies) located.push_back(colony.centre);
    const testing::PlateScore score = testing::scoreMarks(plate, located);
    std::printf("%-36s truth %3d marks %3d precision %.3f recall %.3f error %5.1f%%\n", recipe.name.c_str(), score.truth,
                score.marks, score.precision(), score.recall(), 100.0 * score.countError());
    if (keep != nullptr) {
      // The marks in green, the colonies drawn in the truth outlined in magenta.
      cv::Mat shown = plate.photograph.clone();
      cv::Mat edges;
      cv::Mat truth8 = plate.truth != 0;
      cv::morphologyEx(truth8, edges, cv::MORPH_GRADIENT, cv::Mat());
      shown.setTo(cv::Scalar(255, 0, 255), edges);
      for (const cv::Point2d& mark : located) cv::drawMarker(shown, cv::Point(mark), cv::Scalar(0, 255, 0), cv::MARKER_CROSS, 9, 2);
      cv::imwrite(std::string(keep) + "/plate" + std::to_string(index) + ".png", plate.photograph);
      cv::imwrite(std::string(keep) + "/marks" + std::to_string(index) + ".png", shown);
    }
    EXPECT_TRUE(count.unsuitable.empty()) << recipe.name << ": " << count.unsuitable;
    EXPECT_GE(score.recall(), 0.8) << recipe.name;
    EXPECT_GE(score.precision(), 0.8) << recipe.name;
    errors.push_back(score.countError());
    truth += score.truth, marks += score.marks, matched += score.matched;
    ++index;
  }
  std::sort(errors.begin(), errors.end());
  const double median = errors[errors.size() / 2];
  std::printf("all: precision %.3f recall %.3f median count error %.1f%%\n", static_cast<double>(matched) / marks,
              static_cast<double>(matched) / truth, 100.0 * median);
  EXPECT_GE(static_cast<double>(matched) / truth, 0.95);
  EXPECT_GE(static_cast<double>(matched) / marks, 0.95);
  EXPECT_LE(median, 0.03);
}

}  // namespace
}  // namespace corvale
