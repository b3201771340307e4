#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "blobs/area_filter.hpp"
#include "blobs/moments.hpp"
#include "mask_helpers.hpp"

namespace corvale {
namespace {

using testing::maskFromRows;
using testing::randomMask;
using testing::stderrOf;

struct Labelled {
  LabelImage labels;
  BlobTable blobs;
  explicit Labelled(const cv::Mat& mask) : labels(mask.size(), CV_32SC1) { labelBlobs(mask, labels, blobs); }
  Labelled(const Labelled&) = delete;
  ~Labelled() { releaseBlobs(blobs); }
  Blob& only() { return *blobs.begin()->second; }
};

std::vector<std::uint32_t> areasOf(const BlobTable& blobs) {
  std::vector<std::uint32_t> areas;
  for (const auto& entry : blobs) areas.push_back(entry.second->area);
  return areas;
}

// Blobs of areas 1, 2, 3, 4, 5, 6 in ascending label order.
cv::Mat staircaseOfSizes() {
  return maskFromRows({"#.##.###.####.#####.######"});
}

TEST(FilterBlobsByArea, KeepsTheClosedRange) {
  Labelled l(staircaseOfSizes());
  filterBlobsByArea(l.blobs, 2, 5);
  EXPECT_EQ(areasOf(l.blobs), (std::vector<std::uint32_t>{2, 3, 4, 5}));
}

TEST(FilterBlobsByArea, RemovesFirstLastAndConsecutiveEntries) {
  Labelled l(staircaseOfSizes());
  filterBlobsByArea(l.blobs, 3, 3);
  EXPECT_EQ(areasOf(l.blobs), (std::vector<std::uint32_t>{3}));
  filterBlobsByArea(l.blobs, 0, 0);
  EXPECT_TRUE(l.blobs.empty());
  filterBlobsByArea(l.blobs, 0, 10);
  EXPECT_TRUE(l.blobs.empty());
}

TEST(FilterBlobsByArea, DegenerateAndSignedBounds) {
  Labelled reversed(staircaseOfSizes());
  filterBlobsByArea(reversed.blobs, 5, 2);
  EXPECT_TRUE(reversed.blobs.empty());

  Labelled all(staircaseOfSizes());
  filterBlobsByArea(all.blobs, 0, std::numeric_limits<std::uint32_t>::max());
  EXPECT_EQ(all.blobs.size(), 6u);

  // Signed settings arrive as their unsigned counterparts: -1 as the upper bound
  // keeps everything, a negative lower bound removes everything.
  const int minusOne = -1;
  filterBlobsByArea(all.blobs, 4, static_cast<std::uint32_t>(minusOne));
  EXPECT_EQ(areasOf(all.blobs), (std::vector<std::uint32_t>{4, 5, 6}));
  filterBlobsByArea(all.blobs, static_cast<std::uint32_t>(-5), 100);
  EXPECT_TRUE(all.blobs.empty());
}

TEST(CentralMoments, WorkedShapes) {
  struct Case {
    std::initializer_list<const char*> rows;
    double u11, u20, u02, angle;
  };
  const Case cases[] = {
      {{"#"}, 0.0, 0.0, 0.0, 0.0},
      {{"#####"}, 0.0, 10.0, 0.0, 0.0},
      {{"#", "#", "#", "#", "#"}, 0.0, 0.0, 10.0, std::numbers::pi / 2},
      {{"##", "##"}, 0.0, 1.0, 1.0, 0.0},
      {{"##.", ".##", "..#"}, 2.2, 2.8, 2.8, std::numbers::pi / 4},
  };
  for (const Case& c : cases) {
    Labelled l(maskFromRows(c.rows));
    Blob& blob = l.only();
    computeCentralMoments(blob, l.labels);
    ASSERT_TRUE(blob.centralMomentsComputed);
    EXPECT_NEAR(blob.u11, c.u11, 1e-12);
    EXPECT_NEAR(blob.u20, c.u20, 1e-12);
    EXPECT_NEAR(blob.u02, c.u02, 1e-12);
    EXPECT_NEAR(blobAngle(blob), c.angle, 1e-12);
  }
}

TEST(CentralMoments, NeighboursInsideTheBoxDoNotCount) {
  // The L-shaped blob's box holds background and the one-pixel blob at (2, 0).
  Labelled withNeighbour(maskFromRows({"#.#", "#..", "###"}));
  Labelled alone(maskFromRows({"#..", "#..", "###"}));
  ASSERT_EQ(withNeighbour.blobs.size(), 2u);
  Blob& l = *withNeighbour.blobs.at(1);
  ASSERT_EQ(l.area, 5u);
  computeCentralMoments(l, withNeighbour.labels);
  computeCentralMoments(alone.only(), alone.labels);
  EXPECT_DOUBLE_EQ(l.u20, alone.only().u20);
  EXPECT_DOUBLE_EQ(l.u11, alone.only().u11);
  EXPECT_DOUBLE_EQ(l.u02, alone.only().u02);
}

TEST(CentralMoments, CachedMomentsIgnoreLaterImagesAndBadFormatsAreReported) {
  Labelled l(maskFromRows({"#####"}));
  Blob& blob = l.only();
  const cv::Mat wrong(1, 5, CV_8UC1, cv::Scalar(1));

  EXPECT_EQ(stderrOf([&] { EXPECT_EQ(blobAngle(blob), 0.0); }),
            "Error: Central moments aren't calculated.\n");
  EXPECT_EQ(stderrOf([&] { computeCentralMoments(blob, wrong); }), "Error: Image format.\n");
  EXPECT_FALSE(blob.centralMomentsComputed);
  const cv::Mat twoChannels(1, 5, CV_32SC2, cv::Scalar(1));
  EXPECT_EQ(stderrOf([&] { computeCentralMoments(blob, twoChannels); }), "Error: Image format.\n");
  // A label image that does not contain the blob's box is refused, not read past its end.
  const cv::Mat tooSmall(1, 3, CV_32SC1, cv::Scalar(1));
  EXPECT_EQ(stderrOf([&] { computeCentralMoments(blob, tooSmall); }), "Error: Image format.\n");
  EXPECT_FALSE(blob.centralMomentsComputed);

  computeCentralMoments(blob, l.labels);
  ASSERT_TRUE(blob.centralMomentsComputed);
  EXPECT_EQ(stderrOf([&] { computeCentralMoments(blob, wrong); }), "");
  EXPECT_EQ(blob.u20, 10.0);
}

TEST(CentralMoments, AgreeWithOpenCvMomentsOfEachBlobsOwnMask) {
  cv::RNG rng(42);
  for (const double density : {0.2, 0.55, 0.7, 0.9}) {
    const cv::Mat mask = randomMask(rng, 90, 120, density);
    Labelled l(mask);
    int checked = 0;
    for (auto& [label, blob] : l.blobs) {
      if (blob->area < 3 && checked > 0) continue;
      computeCentralMoments(*blob, l.labels);
      const cv::Moments expected = cv::moments(l.labels == static_cast<int>(label), true);
      const double scale = 1e-9 * std::max(1.0, expected.mu20 + expected.mu02);
      EXPECT_NEAR(blob->u11, expected.mu11, scale);
      EXPECT_NEAR(blob->u20, expected.mu20, scale);
      EXPECT_NEAR(blob->u02, expected.mu02, scale);
      ++checked;
    }
    EXPECT_GT(checked, 0);
  }
}

}  // namespace
}  // namespace corvale
