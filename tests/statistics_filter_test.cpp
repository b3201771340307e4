#include <gtest/gtest.h>

#include <vector>

#include "analysis/fixed/colony_statistics.hpp"
#include "analysis/fixed/dish_filter.hpp"

namespace corvale {
namespace {

// A table owning records with the given areas (labels 1, 2, ...) or boxes.
struct Table {
  BlobTable blobs;
  ~Table() { releaseBlobs(blobs); }
  Blob& add(std::uint32_t area) {
    auto* blob = new Blob;
    blob->label = static_cast<std::uint32_t>(blobs.size()) + 1;
    blob->area = area;
    blobs.emplace(blob->label, blob);
    return *blob;
  }
  void addBox(std::uint32_t minX, std::uint32_t minY, std::uint32_t maxX, std::uint32_t maxY) {
    Blob& blob = add(1);
    blob.minX = minX;
    blob.minY = minY;
    blob.maxX = maxX;
    blob.maxY = maxY;
  }
  std::vector<std::uint32_t> labels() const {
    std::vector<std::uint32_t> all;
    for (const auto& entry : blobs) all.push_back(entry.first);
    return all;
  }
};

TEST(ColonyStatistics, WorkedExample) {
  Table table;
  for (std::uint32_t area : {500u, 400u, 800u, 600u}) table.add(area);
  const ColonyStatistics s = computeColonyStatistics(table.blobs, 100, 1000, 980);
  EXPECT_EQ(s.colonyCount, 4);
  EXPECT_EQ(s.percentage, 230000.0 / 754217.21925);
  EXPECT_DOUBLE_EQ(s.percentage, 0.30495193444232677);
  EXPECT_DOUBLE_EQ(s.colonyAreaMm2, 23.950848693116736);
  EXPECT_DOUBLE_EQ(s.medianColonyAreaMm2, 6.248047485160887);
  EXPECT_EQ(s.estimatedYeasts, 4);
}

TEST(ColonyStatistics, TypicalColonyIndexAndMedian) {
  Table one;
  one.add(700);
  const ColonyStatistics single = computeColonyStatistics(one.blobs, 100, 1000, 980);
  EXPECT_EQ(single.estimatedYeasts, 1);
  EXPECT_DOUBLE_EQ(single.medianColonyAreaMm2, 7853.974999999999 * 700 / 754217.21925);

  // Ten colonies: the typical one is the fourth smallest (k = 3); twenty: k = 6.
  for (const auto& [n, k] : {std::pair{10, 3}, std::pair{20, 6}}) {
    Table table;
    for (int i = n; i >= 1; --i) table.add(static_cast<std::uint32_t>(100 * i));
    const std::int32_t sum = 100 * n * (n + 1) / 2;
    EXPECT_EQ(computeColonyStatistics(table.blobs, 100, 1000, 980).estimatedYeasts, sum / (100 * (k + 1))) << n;
  }

  Table equal;
  for (std::uint32_t area : {300u, 900u, 300u}) equal.add(area);
  const ColonyStatistics s = computeColonyStatistics(equal.blobs, 100, 1000, 980);
  EXPECT_EQ(s.estimatedYeasts, 5);
  EXPECT_DOUBLE_EQ(s.medianColonyAreaMm2, 7853.974999999999 * 300 / 754217.21925);
}

TEST(ColonyStatistics, MarginComesFromTheWidth) {
  Table table;
  table.add(100);
  // Width 99: no margin. Width 199: margin 1 from both axes, although the height is small.
  EXPECT_EQ(computeColonyStatistics(table.blobs, 100, 99, 50).percentage, 10000.0 / (99 * 3.14159 * 50 * 0.25));
  EXPECT_EQ(computeColonyStatistics(table.blobs, 100, 199, 50).percentage, 10000.0 / (198 * 3.14159 * 49 * 0.25));
}

TEST(ColonyStatistics, NoColoniesAndDegenerateDishesGiveZeros) {
  Table empty;
  const ColonyStatistics none = computeColonyStatistics(empty.blobs, 100, 1000, 980);
  EXPECT_EQ(none.colonyCount, 0);
  EXPECT_EQ(none.percentage, 0.0);
  EXPECT_EQ(none.colonyAreaMm2, 0.0);
  EXPECT_EQ(none.medianColonyAreaMm2, 0.0);
  EXPECT_EQ(none.estimatedYeasts, 0);

  Table table;
  table.add(10);
  const ColonyStatistics flat = computeColonyStatistics(table.blobs, 100, 0, 500);
  EXPECT_EQ(flat.colonyCount, 1);
  EXPECT_EQ(flat.percentage, 0.0);
  EXPECT_EQ(flat.estimatedYeasts, 0);
  EXPECT_LE(dishAreaPixels(0, 500), 0.0);
  EXPECT_LE(dishAreaPixels(100, 1), 0.0);  // margin 1 leaves no height
}

TEST(ColonyStatistics, LargeColonyAreasDoNotOverflow) {
  // 30 million pixels of colonies: 100 times that does not fit 32 bits.
  Table table;
  table.add(15'000'000);
  table.add(15'000'000);
  const ColonyStatistics s = computeColonyStatistics(table.blobs, 100, 8000, 8000);
  const double dish = 7920.0 * 3.14159 * 7920.0 * 0.25;
  EXPECT_EQ(s.percentage, 3'000'000'000.0 / dish);
  EXPECT_GT(s.percentage, 0.0);
  EXPECT_EQ(s.estimatedYeasts, 2);
}

TEST(DishFilter, WorkedCorners) {
  Table table;
  table.addBox(37, 37, 50, 50);  // farthest corner 89.1 from (100, 100): stays
  table.addBox(36, 36, 50, 50);  // 90.5, truncated 90: removed
  table.addBox(100, 100, 100, 100);
  filterBlobsByDish(table.blobs, 10, cv::Rect(0, 0, 200, 200));
  EXPECT_EQ(table.labels(), (std::vector<std::uint32_t>{1, 3}));
}

TEST(DishFilter, TruncatedDistanceComparedStrictly) {
  // Centre (5, 5), radius 5, lip 0: allowed distance 5.
  Table table;
  table.addBox(8, 9, 8, 9);  // dx 3, dy 4: exactly 5, fails
  table.addBox(8, 1, 8, 1);  // dx 3, dy -4: fails
  table.addBox(7, 9, 7, 9);  // squared 20 (4.47): passes
  table.addBox(1, 6, 1, 6);  // squared 17: passes
  filterBlobsByDish(table.blobs, 0, cv::Rect(0, 0, 10, 10));
  EXPECT_EQ(table.labels(), (std::vector<std::uint32_t>{3, 4}));
}

TEST(DishFilter, LipAndOddSizes) {
  Table big;
  big.addBox(100, 100, 100, 100);
  filterBlobsByDish(big.blobs, 100, cv::Rect(0, 0, 200, 200));  // lip = radius: nothing stays
  EXPECT_TRUE(big.blobs.empty());

  Table wide;
  wide.addBox(0, 100, 0, 100);  // 100 from the centre: only a negative lip admits it
  filterBlobsByDish(wide.blobs, -1, cv::Rect(0, 0, 200, 200));
  EXPECT_EQ(wide.blobs.size(), 1u);

  // Width 1003 and height 1001: radius 501, centre (x + 501, y + 500).
  Table odd;
  odd.addBox(10 + 501 + 499, 20 + 500, 10 + 501 + 499, 20 + 500);  // 499 right of the centre: passes
  odd.addBox(10 + 501 - 500, 20 + 500, 10 + 501 - 500, 20 + 500);  // 500 left: fails with lip 1
  filterBlobsByDish(odd.blobs, 1, cv::Rect(10, 20, 1003, 1001));
  EXPECT_EQ(odd.labels(), (std::vector<std::uint32_t>{1}));
}

TEST(DishFilter, RemovesFirstLastAndConsecutiveEntriesAndFarCornersDoNotOverflow) {
  Table table;
  table.addBox(0, 0, 1, 1);
  table.addBox(100, 100, 101, 101);
  table.addBox(0, 199, 3, 199);
  table.addBox(199, 0, 199, 3);
  table.addBox(90, 90, 110, 110);
  table.addBox(4'000'000'000u, 100, 4'000'000'000u, 100);  // squared distance far beyond 32 bits
  filterBlobsByDish(table.blobs, 5, cv::Rect(0, 0, 200, 200));
  EXPECT_EQ(table.labels(), (std::vector<std::uint32_t>{2, 5}));

  Table empty;
  filterBlobsByDish(empty.blobs, 5, cv::Rect(0, 0, 200, 200));
  EXPECT_TRUE(empty.blobs.empty());
}

}  // namespace
}  // namespace corvale
