#include "plate_generator.hpp"

#include <algorithm>
#include <cmath>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

namespace corvale::testing {
namespace {

// The drawing state of one plate: the photograph in floating point, the truth map,
// and which pixels already hold something a new colony must keep clear of.
struct Canvas {
  cv::Mat photo;     // CV_32FC3
  cv::Mat truth;     // CV_32S
  cv::Mat occupied;  // CV_8U
  cv::Point2f centre;
  float agarRadius = 0.0f;
  int drawn = 0;
};

cv::Scalar mix(const cv::Scalar& a, const cv::Scalar& b, double t) { return a * (1.0 - t) + b * t; }

// Whether a disc of `radius` plus `gap` at `at` is free, and inside the agar unless
// `againstWall`.
bool fits(const Canvas& canvas, cv::Point2f at, float radius, float gap, bool againstWall = false) {
  if (!againstWall && cv::norm(at - canvas.centre) > canvas.agarRadius - radius - gap) return false;
  const int reach = static_cast<int>(std::ceil(radius + gap));
  const cv::Rect box = cv::Rect(static_cast<int>(at.x) - reach, static_cast<int>(at.y) - reach, 2 * reach + 1, 2 * reach + 1) &
                       cv::Rect(0, 0, canvas.occupied.cols, canvas.occupied.rows);
  return box.area() > 0 && cv::countNonZero(canvas.occupied(box)) == 0;
}

void occupy(Canvas& canvas, cv::Point2f at, float radius, float gap) {
  cv::circle(canvas.occupied, cv::Point(at), static_cast<int>(std::ceil(radius + gap)), cv::Scalar(255), cv::FILLED);
}

// A round colony with a slightly stronger middle, as colonies dome.
void drawRound(Canvas& canvas, const PlateRecipe& recipe, cv::Point2f at, float radius) {
  const int shift = 4;
  const cv::Point centre(cvRound(at.x * (1 << shift)), cvRound(at.y * (1 << shift)));
  cv::circle(canvas.photo, centre, cvRound(radius * (1 << shift)), recipe.colony, cv::FILLED, cv::LINE_AA, shift);
  cv::circle(canvas.photo, centre, cvRound(0.5f * radius * (1 << shift)), mix(recipe.agar, recipe.colony, 1.12), cv::FILLED,
             cv::LINE_AA, shift);
  cv::circle(canvas.truth, cv::Point(at), std::max(1, cvRound(radius)), cv::Scalar(++canvas.drawn), cv::FILLED);
}

// A spreading colony: a ragged outline, paler than the others as it grows thin.
void drawSpreading(Canvas& canvas, const PlateRecipe& recipe, cv::Point2f at, float radius, cv::RNG& rng) {
  std::vector<cv::Point> outline;
  const double phase1 = rng.uniform(0.0, CV_2PI), phase2 = rng.uniform(0.0, CV_2PI);
  for (int i = 0; i < 60; ++i) {
    const double angle = i * CV_2PI / 60.0;
    const double r = radius * (0.85 + 0.15 * std::sin(3 * angle + phase1) + 0.08 * std::sin(7 * angle + phase2) +
                               rng.uniform(-0.05, 0.05));
    outline.emplace_back(cvRound(at.x + r * std::cos(angle)), cvRound(at.y + r * std::sin(angle)));
  }
  cv::fillPoly(canvas.photo, std::vector<std::vector<cv::Point>>{outline}, mix(recipe.agar, recipe.colony, 0.75), cv::LINE_AA);
  cv::fillPoly(canvas.truth, std::vector<std::vector<cv::Point>>{outline}, cv::Scalar(++canvas.drawn));
}

// A place for something of `radius`, or false after many tries.
bool findPlace(const Canvas& canvas, cv::RNG& rng, float radius, float gap, cv::Point2f& at) {
  for (int attempt = 0; attempt < 400; ++attempt) {
    const double angle = rng.uniform(0.0, CV_2PI);
    const double distance = canvas.agarRadius * std::sqrt(rng.uniform(0.0, 1.0));
    at = canvas.centre + cv::Point2f(static_cast<float>(distance * std::cos(angle)), static_cast<float>(distance * std::sin(angle)));
    if (fits(canvas, at, radius, gap)) return true;
  }
  return false;
}

float logUniform(cv::RNG& rng, float low, float high) {
  return std::exp(rng.uniform(std::log(low), std::log(high)));
}

}  // namespace

double PlateScore::countError() const {
  return truth == 0 ? (marks == 0 ? 0.0 : 1.0) : std::abs(marks - truth) / static_cast<double>(truth);
}

GeneratedPlate generatePlate(const PlateRecipe& recipe, std::uint64_t seed) {
  cv::RNG rng(seed);
  const int size = recipe.size;
  Canvas canvas;
  canvas.photo = cv::Mat(size, size, CV_32FC3, recipe.bench);
  canvas.truth = cv::Mat::zeros(size, size, CV_32S);
  canvas.occupied = cv::Mat::zeros(size, size, CV_8U);
  canvas.centre = cv::Point2f(size / 2.0f, size / 2.0f);
  const float dishRadius = static_cast<float>(recipe.dishFraction * size);
  canvas.agarRadius = dishRadius * 0.96f;
  const cv::Point centre(canvas.centre);
  // The wall: a band a little lighter than the agar, then the agar inside it.
  cv::circle(canvas.photo, centre, cvRound(dishRadius), mix(recipe.agar, cv::Scalar::all(235), 0.45), cv::FILLED, cv::LINE_AA);
  cv::circle(canvas.photo, centre, cvRound(canvas.agarRadius), recipe.agar, cv::FILLED, cv::LINE_AA);

  const cv::Scalar ink = recipe.agar * 0.45;
  if (recipe.writing) {
    const double scale = size / 600.0;
    const int thickness = std::max(2, size / 250);
    const cv::Point at(centre.x - cvRound(0.45 * canvas.agarRadius), centre.y - cvRound(0.55 * canvas.agarRadius));
    const std::string text = "B7 " + std::to_string(10 + seed % 20) + "/3";
    cv::putText(canvas.photo, text, at, cv::FONT_HERSHEY_SIMPLEX, scale, ink, thickness, cv::LINE_AA);
    int baseline = 0;
    const cv::Size extent = cv::getTextSize(text, cv::FONT_HERSHEY_SIMPLEX, scale, thickness, &baseline);
    cv::rectangle(canvas.occupied, cv::Rect(at.x - 4, at.y - extent.height - 4, extent.width + 8, extent.height + baseline + 8),
                  cv::Scalar(255), cv::FILLED);
  }
  // Reflections: light crescents, well short of saturation, where no colony grows.
  cv::Mat shine = cv::Mat::zeros(size, size, CV_32F);
  for (int i = 0; i < recipe.crescents; ++i) {
    const float radius = rng.uniform(0.15f, 0.3f) * canvas.agarRadius;
    cv::Point2f at;
    if (!findPlace(canvas, rng, radius, 4.0f, at)) continue;
    const cv::Point2f inward = (canvas.centre - at) * (1.0f / std::max(1.0f, static_cast<float>(cv::norm(canvas.centre - at))));
    cv::Mat crescent = cv::Mat::zeros(size, size, CV_32F);
    cv::circle(crescent, cv::Point(at), cvRound(radius), cv::Scalar(1.0), cv::FILLED, cv::LINE_AA);
    cv::circle(crescent, cv::Point(at + inward * (0.3f * radius)), cvRound(0.95f * radius), cv::Scalar(0.0), cv::FILLED, cv::LINE_AA);
    shine += crescent * rng.uniform(30.0, 50.0);
    occupy(canvas, at, radius, 4.0f);
  }
  if (recipe.lidRing) {
    cv::circle(shine, centre, cvRound(0.9f * canvas.agarRadius), cv::Scalar(35.0), std::max(2, size / 400), cv::LINE_AA);
    cv::circle(canvas.occupied, centre, cvRound(0.9f * canvas.agarRadius), cv::Scalar(255), std::max(2, size / 400) + 8);
  }
  cv::GaussianBlur(shine, shine, cv::Size(), 1.5);

  const float gap = 3.0f;
  for (int i = 0; i < recipe.big; ++i) {
    const float radius = rng.uniform(2.0f, 3.0f) * recipe.largest;
    cv::Point2f at;
    if (!findPlace(canvas, rng, radius, gap, at)) continue;
    drawRound(canvas, recipe, at, radius);
    occupy(canvas, at, radius, gap);
  }
  for (int i = 0; i < recipe.spreading; ++i) {
    const float radius = rng.uniform(1.2f, 2.0f) * recipe.largest;
    cv::Point2f at;
    if (!findPlace(canvas, rng, 1.15f * radius, gap, at)) continue;
    drawSpreading(canvas, recipe, at, radius, rng);
    occupy(canvas, at, 1.15f * radius, gap);
  }
  for (int i = 0; i < recipe.atWall; ++i) {
    const float radius = logUniform(rng, recipe.smallest, recipe.largest);
    for (int attempt = 0; attempt < 200; ++attempt) {
      const double angle = rng.uniform(0.0, CV_2PI);
      const double distance = canvas.agarRadius - radius - 0.5;
      const cv::Point2f at = canvas.centre + cv::Point2f(static_cast<float>(distance * std::cos(angle)),
                                                         static_cast<float>(distance * std::sin(angle)));
      if (!fits(canvas, at, radius, gap, true)) continue;
      drawRound(canvas, recipe, at, radius);
      occupy(canvas, at, radius, gap);
      break;
    }
  }
  for (int i = 0; i < recipe.clumps; ++i) {
    const int members = rng.uniform(2, 7);
    const float radius = logUniform(rng, std::max(recipe.smallest, 0.4f * recipe.largest), recipe.largest);
    cv::Point2f at;
    if (!findPlace(canvas, rng, radius, gap, at)) continue;
    std::vector<cv::Point2f> placed{at};
    for (int attempt = 0; attempt < 100 && static_cast<int>(placed.size()) < members; ++attempt) {
      const cv::Point2f& from = placed[static_cast<std::size_t>(rng.uniform(0, static_cast<int>(placed.size())))];
      const double angle = rng.uniform(0.0, CV_2PI);
      const float step = rng.uniform(1.7f, 1.95f) * radius;
      const cv::Point2f next = from + cv::Point2f(static_cast<float>(step * std::cos(angle)), static_cast<float>(step * std::sin(angle)));
      bool apart = fits(canvas, next, radius, gap);
      for (const cv::Point2f& other : placed) apart = apart && cv::norm(next - other) >= 1.7 * radius;
      if (apart) placed.push_back(next);
    }
    for (const cv::Point2f& member : placed) drawRound(canvas, recipe, member, radius * rng.uniform(0.9f, 1.1f));
    for (const cv::Point2f& member : placed) occupy(canvas, member, radius * 1.1f, gap);
  }
  for (int i = 0; i < recipe.colonies; ++i) {
    const float radius = logUniform(rng, recipe.smallest, recipe.largest);
    cv::Point2f at;
    if (!findPlace(canvas, rng, radius, gap, at)) continue;
    drawRound(canvas, recipe, at, radius);
    occupy(canvas, at, radius, gap);
  }

  // Light: the reflections first, seen at the same angle as the dish.
  {
    cv::Mat shineColour;
    cv::merge(std::vector<cv::Mat>{shine, shine, shine}, shineColour);
    canvas.photo += shineColour;
  }
  GeneratedPlate plate;
  plate.truth = canvas.truth;
  cv::Mat photo = canvas.photo;
  if (recipe.tilt < 1.0) {
    // Seen at an angle: squeezed along a random direction about the dish's centre.
    const double angle = rng.uniform(0.0, CV_PI);
    const cv::Matx22d rotate(std::cos(angle), -std::sin(angle), std::sin(angle), std::cos(angle));
    const cv::Matx22d squeeze = rotate * cv::Matx22d(1.0, 0.0, 0.0, recipe.tilt) * rotate.t();
    const cv::Vec2d shift = cv::Vec2d(centre.x, centre.y) - squeeze * cv::Vec2d(centre.x, centre.y);
    const cv::Matx23d affine(squeeze(0, 0), squeeze(0, 1), shift[0], squeeze(1, 0), squeeze(1, 1), shift[1]);
    cv::warpAffine(photo, photo, affine, photo.size(), cv::INTER_LINEAR, cv::BORDER_CONSTANT, recipe.bench);
    cv::warpAffine(canvas.truth, plate.truth, affine, photo.size(), cv::INTER_NEAREST, cv::BORDER_CONSTANT, cv::Scalar(0));
  }
  // Light: a slope across the photograph and a darker rim.
  const double direction = rng.uniform(0.0, CV_2PI);
  cv::Mat light(size, size, CV_32F);
  for (int y = 0; y < size; ++y)
    for (int x = 0; x < size; ++x) {
      const double along = ((x - centre.x) * std::cos(direction) + (y - centre.y) * std::sin(direction)) / size;
      const double rim = std::pow(std::hypot(x - centre.x, y - centre.y) / dishRadius, 2.0);
      light.at<float>(y, x) = static_cast<float>(recipe.lightSlope * along - 8.0 * rim);
    }
  cv::Mat lit;
  cv::merge(std::vector<cv::Mat>{light, light, light}, lit);
  photo += lit;
  if (recipe.blur > 0.0) cv::GaussianBlur(photo, photo, cv::Size(), recipe.blur);
  cv::Mat noise(photo.size(), CV_32FC3);
  rng.fill(noise, cv::RNG::NORMAL, 0.0, recipe.noise);
  photo += noise;
  photo.convertTo(plate.photograph, CV_8UC3);
  if (recipe.jpegQuality > 0) {
    std::vector<std::uint8_t> encoded;
    cv::imencode(".jpg", plate.photograph, encoded, {cv::IMWRITE_JPEG_QUALITY, recipe.jpegQuality});
    plate.photograph = cv::imdecode(encoded, cv::IMREAD_COLOR);
  }
  // Colonies wholly hidden by the squeeze or drawn over by later ones no longer count.
  std::vector<bool> seen(static_cast<std::size_t>(canvas.drawn) + 1, false);
  for (int y = 0; y < plate.truth.rows; ++y)
    for (int x = 0; x < plate.truth.cols; ++x) seen[static_cast<std::size_t>(plate.truth.at<std::int32_t>(y, x))] = true;
  plate.colonies = static_cast<int>(std::count(seen.begin() + 1, seen.end(), true));
  return plate;
}

std::vector<PlateRecipe> mixedRecipes() {
  struct Look {
    const char* name;
    cv::Scalar bench, agar, colony;
  };
  const Look looks[] = {
      {"blood agar, dark bench", {40, 40, 40}, {30, 30, 150}, {200, 215, 225}},
      {"chocolate agar", {60, 55, 50}, {40, 60, 95}, {175, 195, 210}},
      {"clear agar on black", {15, 15, 15}, {120, 130, 135}, {215, 225, 230}},
      {"olive agar, cream colonies", {30, 30, 30}, {60, 115, 110}, {165, 210, 225}},
      {"dark colonies on white", {200, 200, 200}, {205, 215, 220}, {120, 60, 80}},
      {"pale agar", {25, 25, 25}, {150, 180, 195}, {215, 235, 245}},
      {"dark colonies on yellow agar", {190, 195, 200}, {120, 200, 220}, {110, 45, 70}},
      {"grey transilluminated", {10, 10, 10}, {90, 90, 90}, {200, 200, 200}},
  };
  const float ranges[][2] = {{4, 16}, {3, 12}, {6, 24}, {5, 20}};
  const int counts[] = {25, 60, 120, 200};
  std::vector<PlateRecipe> recipes;
  for (int i = 0; i < 32; ++i) {
    const Look& look = looks[i % 8];
    PlateRecipe recipe;
    recipe.bench = look.bench;
    recipe.agar = look.agar;
    recipe.colony = look.colony;
    recipe.size = 900 + 100 * (i % 3);
    recipe.dishFraction = i % 6 == 5 ? 0.36 : 0.44;
    recipe.smallest = ranges[i % 4][0];
    recipe.largest = ranges[i % 4][1];
    recipe.colonies = counts[(i * 3 / 2) % 4];
    recipe.big = i % 3 == 0 ? 2 : 0;
    recipe.spreading = i % 4 == 1 ? 3 : 0;
    recipe.clumps = i % 2 == 0 ? 8 : 4;
    recipe.atWall = i % 3 == 1 ? 6 : 2;
    recipe.crescents = i % 4 == 2 ? 2 : i % 5 == 0 ? 1 : 0;
    recipe.lidRing = i % 3 == 2;
    recipe.writing = i % 4 == 3 || i % 8 == 4 || i % 8 == 6;
    recipe.tilt = i % 5 == 4 ? 0.8 : i % 7 == 3 ? 0.88 : 1.0;
    recipe.lightSlope = 10.0 + 10.0 * (i % 4);
    recipe.blur = 0.8 + 0.4 * (i % 3);
    recipe.jpegQuality = i % 2 == 1 ? 75 : 0;
    recipe.name = std::string(look.name) + " #" + std::to_string(i);
    recipes.push_back(recipe);
  }
  return recipes;
}

PlateScore scoreMarks(const GeneratedPlate& plate, const std::vector<cv::Point2d>& marks) {
  PlateScore score;
  score.truth = plate.colonies;
  score.marks = static_cast<int>(marks.size());
  double most = 0.0;
  cv::minMaxLoc(plate.truth, nullptr, &most);
  std::vector<bool> claimed(static_cast<std::size_t>(most) + 1, false);
  for (const cv::Point2d& mark : marks) {
    const cv::Point at(cvRound(mark.x), cvRound(mark.y));
    if (at.x < 0 || at.y < 0 || at.x >= plate.truth.cols || at.y >= plate.truth.rows) continue;
    const auto id = static_cast<std::size_t>(plate.truth.at<std::int32_t>(at));
    if (id == 0 || claimed[id]) continue;
    claimed[id] = true;
    ++score.matched;
  }
  return score;
}

}  // namespace corvale::testing
