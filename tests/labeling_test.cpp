#include <gtest/gtest.h>

#include <map>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "blobs/labeling.hpp"
#include "mask_helpers.hpp"

namespace corvale {
namespace {

using testing::maskFromRows;
using testing::randomMask;
using testing::stderrOf;

struct Labelled {
  std::uint32_t pixels = 0;
  LabelImage labels;
  BlobTable blobs;
  Labelled() = default;
  Labelled(const Labelled&) = delete;
  ~Labelled() { releaseBlobs(blobs); }
};

void label(const cv::Mat& mask, Labelled& out) {
  out.labels.create(mask.size(), CV_32SC1);
  out.pixels = labelBlobs(mask, out.labels, out.blobs);
}

std::uint32_t labelAt(const LabelImage& labels, int x, int y) {
  return labels.at<std::uint32_t>(y, x);
}

// The pixel-by-pixel labeller written out literally, used as the oracle for which
// label each region gets: provisional labels in raster order, union by rank with the
// upper neighbour's root winning ties, and each region named after its root.
cv::Mat referenceLabels(const cv::Mat& mask) {
  cv::Mat provisional(mask.size(), CV_32SC1, cv::Scalar(0));
  std::vector<std::uint32_t> parent{0}, rank{0};
  auto find = [&](std::uint32_t l) {
    while (parent[l] != l) l = parent[l];
    return l;
  };
  for (int y = 0; y < mask.rows; ++y) {
    for (int x = 0; x < mask.cols; ++x) {
      if (mask.at<std::uint8_t>(y, x) == 0) continue;
      const std::uint32_t up = y > 0 ? provisional.at<std::uint32_t>(y - 1, x) : 0;
      const std::uint32_t left = x > 0 ? provisional.at<std::uint32_t>(y, x - 1) : 0;
      std::uint32_t mine;
      if (up != 0) {
        mine = up;
        if (left != 0 && left != up) {
          const std::uint32_t a = find(up), b = find(left);
          if (rank[a] > rank[b]) {
            parent[b] = a;
          } else if (rank[a] < rank[b]) {
            parent[a] = b;
          } else if (a != b) {
            parent[b] = a;
            ++rank[a];
          }
        }
      } else if (left != 0) {
        mine = left;
      } else {
        mine = static_cast<std::uint32_t>(parent.size());
        parent.push_back(mine);
        rank.push_back(0);
      }
      provisional.at<std::uint32_t>(y, x) = mine;
    }
  }
  for (int y = 0; y < mask.rows; ++y)
    for (int x = 0; x < mask.cols; ++x) {
      auto& cell = provisional.at<std::uint32_t>(y, x);
      cell = find(cell);
    }
  return provisional;
}

TEST(LabelBlobs, EmptyAndSinglePixelMasks) {
  Labelled none;
  label(cv::Mat(4, 5, CV_8UC1, cv::Scalar(0)), none);
  EXPECT_EQ(none.pixels, 0u);
  EXPECT_TRUE(none.blobs.empty());
  EXPECT_EQ(cv::countNonZero(none.labels), 0);

  Labelled one;
  label(cv::Mat(1, 1, CV_8UC1, cv::Scalar(255)), one);
  ASSERT_EQ(one.pixels, 1u);
  ASSERT_EQ(one.blobs.size(), 1u);
  const Blob& blob = *one.blobs.at(1);
  EXPECT_EQ(blob.area, 1u);
  EXPECT_EQ(blob.minX + blob.maxX + blob.minY + blob.maxY, 0u);
  EXPECT_EQ(blob.m10 + blob.m01 + blob.m11 + blob.m20 + blob.m02, 0.0);
  EXPECT_EQ(blob.centroidX, 0.0);
  EXPECT_EQ(blob.centroidY, 0.0);
  EXPECT_FALSE(blob.centralMomentsComputed);
  EXPECT_EQ(blob.unionParent, nullptr);
  EXPECT_EQ(labelAt(one.labels, 0, 0), 1u);
}

TEST(LabelBlobs, DiagonalNeighboursAreSeparateAndAnyNonzeroByteIsForeground) {
  cv::Mat mask = maskFromRows({"#.", ".#"});
  mask.at<std::uint8_t>(1, 1) = 1;
  Labelled result;
  label(mask, result);
  ASSERT_EQ(result.blobs.size(), 2u);
  const Blob& second = *result.blobs.at(2);
  EXPECT_EQ(second.area, 1u);
  EXPECT_EQ(second.minX, 1u);
  EXPECT_EQ(second.maxY, 1u);
  EXPECT_EQ(second.m10, 1.0);
  EXPECT_EQ(second.m11, 1.0);
  EXPECT_EQ(second.m02, 1.0);
  EXPECT_EQ(second.centroidX, 1.0);
  EXPECT_EQ(second.centroidY, 1.0);
}

TEST(LabelBlobs, FullRectangleIsOneBlob) {
  Labelled result;
  label(cv::Mat(3, 4, CV_8UC1, cv::Scalar(255)), result);
  EXPECT_EQ(result.pixels, 12u);
  ASSERT_EQ(result.blobs.size(), 1u);
  const Blob& blob = *result.blobs.at(1);
  EXPECT_EQ(blob.area, 12u);
  EXPECT_EQ(blob.maxX, 3u);
  EXPECT_EQ(blob.maxY, 2u);
  EXPECT_EQ(blob.centroidX, 1.5);
  EXPECT_EQ(blob.centroidY, 1.0);
}

TEST(LabelBlobs, UShapeTakesTheRightArmsLabel) {
  Labelled result;
  label(maskFromRows({"#.#", "#.#", "###"}), result);
  EXPECT_EQ(result.pixels, 7u);
  ASSERT_EQ(result.blobs.size(), 1u);
  const Blob& blob = *result.blobs.at(2);
  EXPECT_EQ(blob.label, 2u);
  EXPECT_EQ(blob.area, 7u);
  EXPECT_EQ(blob.minX, 0u);
  EXPECT_EQ(blob.maxX, 2u);
  EXPECT_EQ(blob.minY, 0u);
  EXPECT_EQ(blob.maxY, 2u);
  EXPECT_EQ(blob.m10, 7.0);
  EXPECT_EQ(blob.m01, 8.0);
  EXPECT_EQ(blob.m11, 8.0);
  EXPECT_EQ(blob.m20, 13.0);
  EXPECT_EQ(blob.m02, 14.0);
  EXPECT_EQ(blob.centroidX, 1.0);
  EXPECT_DOUBLE_EQ(blob.centroidY, 8.0 / 7.0);
  const cv::Mat expected = (cv::Mat_<int>(3, 3) << 2, 0, 2, 2, 0, 2, 2, 2, 2);
  EXPECT_EQ(cv::countNonZero(result.labels != expected), 0);
}

TEST(LabelBlobs, WShapeKeepsTheHigherRankedRoot) {
  Labelled result;
  label(maskFromRows({"#.#.#", "#.#.#", "#####"}), result);
  EXPECT_EQ(result.pixels, 11u);
  ASSERT_EQ(result.blobs.size(), 1u);
  const Blob& blob = *result.blobs.at(2);
  EXPECT_EQ(blob.area, 11u);
  EXPECT_EQ(blob.centroidX, 2.0);
  EXPECT_DOUBLE_EQ(blob.centroidY, 13.0 / 11.0);
}

TEST(LabelBlobs, SingleRowAndSingleColumnMasks) {
  Labelled row;
  label(maskFromRows({"##.###.#"}), row);
  ASSERT_EQ(row.blobs.size(), 3u);
  EXPECT_EQ(row.blobs.at(2)->area, 3u);
  EXPECT_EQ(row.blobs.at(2)->minX, 3u);
  EXPECT_EQ(row.blobs.at(2)->maxX, 5u);

  Labelled column;
  label(maskFromRows({"#", "#", ".", "#"}), column);
  ASSERT_EQ(column.blobs.size(), 2u);
  EXPECT_EQ(column.blobs.at(1)->maxY, 1u);
  EXPECT_EQ(column.blobs.at(2)->minY, 3u);
}

TEST(LabelBlobs, WrongFormatsAreReportedAndChangeNothing) {
  BlobTable blobs;
  Blob kept;
  blobs.emplace(9, &kept);
  cv::Mat labels(3, 3, CV_32SC1, cv::Scalar(77));

  const cv::Mat colour(3, 3, CV_8UC3, cv::Scalar(255, 255, 255));
  std::uint32_t result = 1;
  EXPECT_EQ(stderrOf([&] { result = labelBlobs(colour, labels, blobs); }),
            "Error: Input image format.\n");
  EXPECT_EQ(result, 1u);  // raised: nothing returned

  cv::Mat byteLabels(3, 3, CV_8UC1, cv::Scalar(77));
  const cv::Mat mask(3, 3, CV_8UC1, cv::Scalar(255));
  EXPECT_EQ(stderrOf([&] { result = labelBlobs(mask, byteLabels, blobs); }),
            "Error: Output image format.\n");
  EXPECT_EQ(result, 1u);  // raised: nothing returned
  EXPECT_EQ(cv::countNonZero(byteLabels != 77), 0);

  EXPECT_THROW(labelBlobs(colour, labels, blobs), ImageFormatError);
  // Both wrong: only the mask is reported.
  EXPECT_EQ(stderrOf([&] { labelBlobs(colour, byteLabels, blobs); }), "Error: Input image format.\n");

  // A label image too small for the mask would be written out of bounds.
  cv::Mat small(2, 3, CV_32SC1, cv::Scalar(77));
  EXPECT_EQ(stderrOf([&] { result = labelBlobs(mask, small, blobs); }),
            "Error: Output image format.\n");
  EXPECT_EQ(result, 1u);  // raised: nothing returned

  EXPECT_EQ(cv::countNonZero(labels != 77), 0);
  ASSERT_EQ(blobs.size(), 1u);
  EXPECT_EQ(blobs.at(9), &kept);
}

TEST(LabelBlobs, LargerLabelImageIsZeroedOutsideTheMask) {
  LabelImage labels(4, 5, CV_32SC1, cv::Scalar(9));
  BlobTable blobs;
  EXPECT_EQ(labelBlobs(maskFromRows({"##", ".#"}), labels, blobs), 3u);
  EXPECT_EQ(cv::countNonZero(labels), 3);
  EXPECT_EQ(labelAt(labels, 1, 1), 1u);
  releaseBlobs(blobs);
}

// Regions, areas, boxes and centroids against OpenCV's own labelling, and the
// label of every region against the literal raster-scan labeller.
TEST(LabelBlobs, AgreesWithOpenCvAndTheReferenceLabellerOnRandomMasks) {
  cv::RNG rng(20261207);
  const cv::Size sizes[] = {{1, 1}, {1, 40}, {40, 1}, {17, 13}, {64, 48}, {203, 97}, {31, 250}};
  for (const cv::Size size : sizes) {
    for (const double density : {0.05, 0.3, 0.5, 0.6, 0.8, 0.97}) {
      SCOPED_TRACE(::testing::Message() << size << " density " << density);
      const cv::Mat mask = randomMask(rng, size.height, size.width, density);
      Labelled ours;
      label(mask, ours);

      cv::Mat ccLabels, stats, centroids;
      const int count = cv::connectedComponentsWithStats(mask, ccLabels, stats, centroids, 4, CV_32S);
      ASSERT_EQ(ours.blobs.size(), static_cast<std::size_t>(count - 1));
      EXPECT_EQ(ours.pixels, static_cast<std::uint32_t>(cv::countNonZero(mask)));
      EXPECT_EQ(cv::countNonZero(ours.labels != referenceLabels(mask)), 0);

      // The two label images must name the same regions: a one-to-one map.
      std::map<std::uint32_t, int> ourToTheirs;
      std::map<int, std::uint32_t> theirsToOurs;
      for (int y = 0; y < mask.rows; ++y)
        for (int x = 0; x < mask.cols; ++x) {
          const std::uint32_t mine = labelAt(ours.labels, x, y);
          const int theirs = ccLabels.at<int>(y, x);
          ASSERT_EQ(mine == 0, theirs == 0);
          if (mine == 0) continue;
          ASSERT_EQ(ourToTheirs.emplace(mine, theirs).first->second, theirs);
          ASSERT_EQ(theirsToOurs.emplace(theirs, mine).first->second, mine);
        }

      for (const auto& [key, blob] : ours.blobs) {
        ASSERT_EQ(key, blob->label);
        const int cc = ourToTheirs.at(key);
        EXPECT_EQ(blob->area, static_cast<std::uint32_t>(stats.at<int>(cc, cv::CC_STAT_AREA)));
        EXPECT_EQ(blob->minX, static_cast<std::uint32_t>(stats.at<int>(cc, cv::CC_STAT_LEFT)));
        EXPECT_EQ(blob->minY, static_cast<std::uint32_t>(stats.at<int>(cc, cv::CC_STAT_TOP)));
        EXPECT_EQ(blob->maxX - blob->minX + 1, static_cast<std::uint32_t>(stats.at<int>(cc, cv::CC_STAT_WIDTH)));
        EXPECT_EQ(blob->maxY - blob->minY + 1, static_cast<std::uint32_t>(stats.at<int>(cc, cv::CC_STAT_HEIGHT)));
        EXPECT_NEAR(blob->centroidX, centroids.at<double>(cc, 0), 1e-9);
        EXPECT_NEAR(blob->centroidY, centroids.at<double>(cc, 1), 1e-9);
        EXPECT_EQ(blob->unionParent, nullptr);
      }
    }
  }
}

TEST(LabelBlobs, CoordinateProductsStayExactBeyond65535) {
  // Two pixels at x = 70000 and 70002 in one row of a wide mask, and a pixel far down.
  cv::Mat wide(1, 70010, CV_8UC1, cv::Scalar(0));
  wide.at<std::uint8_t>(0, 70000) = 1;
  wide.at<std::uint8_t>(0, 70001) = 1;
  Labelled result;
  label(wide, result);
  ASSERT_EQ(result.blobs.size(), 1u);
  const Blob& blob = *result.blobs.begin()->second;
  EXPECT_EQ(blob.m10, 140001.0);
  EXPECT_EQ(blob.m20, 70000.0 * 70000.0 + 70001.0 * 70001.0);

  cv::Mat tall(70002, 1, CV_8UC1, cv::Scalar(0));
  tall.at<std::uint8_t>(70001, 0) = 1;
  Labelled down;
  label(tall, down);
  ASSERT_EQ(down.blobs.size(), 1u);
  EXPECT_EQ(down.blobs.begin()->second->m02, 70001.0 * 70001.0);
}

TEST(LabelBlobs, MomentSumsStayExactPast64Bits) {
  // Two full rows of 3,100,000 pixels: the sum of x^2 is about 2e19, past both
  // signed and unsigned 64-bit integers.
  constexpr int width = 3'100'000;
  const cv::Mat mask(2, width, CV_8UC1, cv::Scalar(1));
  Labelled result;
  label(mask, result);
  ASSERT_EQ(result.blobs.size(), 1u);
  const Blob& blob = *result.blobs.begin()->second;
  using Wide = unsigned __int128;
  const Wide n = width;
  const Wide sumX = n * (n - 1) / 2;
  const Wide sumXX = (n - 1) * n * (2 * n - 1) / 6;
  EXPECT_EQ(blob.m10, static_cast<double>(2 * sumX));
  EXPECT_EQ(blob.m20, static_cast<double>(2 * sumXX));
  EXPECT_EQ(blob.m11, static_cast<double>(sumX));
  EXPECT_EQ(blob.m02, static_cast<double>(n));
  EXPECT_EQ(blob.centroidX, (width - 1) / 2.0);
}

TEST(LabelBlobs, MasksOfTooManyRegionsAreRefused) {
  // 2048 x 2048 pixels allow 65536 regions: a dot every 8 pixels in both directions
  // is exactly that many; one more dot, or a checkerboard, is too many.
  ASSERT_EQ(maxRegionCount(2048 * 2048), 65536u);
  cv::Mat dots(2048, 2048, CV_8UC1, cv::Scalar(0));
  for (int y = 0; y < dots.rows; y += 8)
    for (int x = 0; x < dots.cols; x += 8) dots.at<std::uint8_t>(y, x) = 1;
  cv::Mat oneMore = dots.clone();
  oneMore.at<std::uint8_t>(2047, 2047) = 1;
  cv::Mat checkerboard(2048, 2048, CV_8UC1);
  for (int y = 0; y < checkerboard.rows; ++y)
    for (int x = 0; x < checkerboard.cols; ++x) checkerboard.at<std::uint8_t>(y, x) = (x + y) % 2;

  Labelled fits;
  label(dots, fits);
  EXPECT_EQ(fits.blobs.size(), 65536u);
  for (const cv::Mat& mask : {oneMore, checkerboard}) {
    Labelled refused;
    refused.labels.create(mask.size(), CV_32SC1);
    try {
      labelBlobs(mask, refused.labels, refused.blobs);
      ADD_FAILURE() << "not refused";
    } catch (const std::runtime_error& error) {
      EXPECT_STREQ(error.what(),
                   "the image breaks up into too many pieces to be a plate photograph (more than 65536, one per 64 "
                   "pixels)");
    }
    EXPECT_TRUE(refused.blobs.empty());
  }
}

}  // namespace
}  // namespace corvale
