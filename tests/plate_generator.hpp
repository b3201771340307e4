#pragma once
// Plate photographs drawn with the true place of every colony, showing what real
// plates show: colonies of widely different sizes, lone big ones, spreading irregular
// ones, touching clumps, dark colonies on light agar, reflections and lid rings that
// are not saturated, marker writing, a dish seen at an angle, colonies against the
// wall, uneven light, blur and JPEG noise. Located colonies are scored against the
// truth mark by mark.

#include <cstdint>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

namespace corvale::testing {

struct PlateRecipe {
  std::string name;
  cv::Scalar bench{40, 40, 40};
  cv::Scalar agar{30, 30, 150};
  cv::Scalar colony{200, 215, 225};  // darker than the agar for dark colonies
  int size = 1000;                   // the photograph is size x size
  double dishFraction = 0.44;        // dish radius over the photograph's size
  int colonies = 100;                // lone colonies
  float smallest = 4.0f;             // their radius range, in pixels
  float largest = 16.0f;
  int big = 0;                       // lone colonies of 2-3 times the largest radius
  int spreading = 0;                 // irregular, translucent spreading colonies
  int clumps = 0;                    // touching clumps of 2-6 colonies
  int atWall = 0;                    // colonies touching the wall
  int crescents = 0;                 // light crescent reflections, not saturated
  bool lidRing = false;              // a thin light ring of the lid inside the wall
  bool writing = false;              // dark marker writing showing through the agar
  double tilt = 1.0;                 // minor over major axis of the dish as seen
  double lightSlope = 20.0;          // lightness change across the photograph
  double blur = 1.0;                 // Gaussian sigma, pixels
  double noise = 2.5;                // sensor noise, grey levels
  int jpegQuality = 0;               // 0: no JPEG round trip
};

struct GeneratedPlate {
  cv::Mat photograph;  // BGR
  cv::Mat truth;       // CV_32S: 1 + the index of the colony drawn at each pixel, 0 elsewhere
  int colonies = 0;
};

GeneratedPlate generatePlate(const PlateRecipe& recipe, std::uint64_t seed);

// The mixed recipes the adaptive method is held to.
std::vector<PlateRecipe> mixedRecipes();

struct PlateScore {
  int truth = 0;
  int marks = 0;
  int matched = 0;  // marks inside a true colony no earlier mark claimed
  double precision() const { return marks == 0 ? 1.0 : static_cast<double>(matched) / marks; }
  double recall() const { return truth == 0 ? 1.0 : static_cast<double>(matched) / truth; }
  double countError() const;  // |marks - truth| / truth
};

PlateScore scoreMarks(const GeneratedPlate& plate, const std::vector<cv::Point2d>& marks);

}  // namespace corvale::testing
