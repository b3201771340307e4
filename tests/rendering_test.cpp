#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include "blobs/rendering.hpp"
#include "mask_helpers.hpp"

namespace corvale {
namespace {

using testing::stderrOf;

const cv::Vec3b black(0, 0, 0);
const cv::Vec3b red(0, 0, 255);
const cv::Vec3b green(0, 255, 0);
const cv::Vec3b crossBlue(255, 50, 50);

// A table of hand-made blobs that it owns.
struct Blobs {
  BlobTable table;
  Blob& add(std::uint32_t label) {
    auto* blob = new Blob;
    blob->label = label;
    blob->area = 1;
    table.emplace(label, blob);
    return *blob;
  }
  ~Blobs() { releaseBlobs(table); }
};

cv::Mat canvas(int width = 30, int height = 30) { return cv::Mat(height, width, CV_8UC3, cv::Scalar(0, 0, 0)); }
const LabelImage labels(30, 30, CV_32SC1, cv::Scalar(0));

std::vector<cv::Point> pixelsOf(const cv::Mat& image, cv::Vec3b colour) {
  std::vector<cv::Point> found;
  for (int y = 0; y < image.rows; ++y)
    for (int x = 0; x < image.cols; ++x)
      if (image.at<cv::Vec3b>(y, x) == colour) found.emplace_back(x, y);
  return found;
}

TEST(RenderBlobs, CentroidCrossEndPointsTruncate) {
  Blobs blobs;
  Blob& blob = blobs.add(1);
  blob.centroidX = 10.7;
  blob.centroidY = 20.2;
  cv::Mat image = canvas();
  renderBlobs(labels, renderCentroid, blobs.table, image);
  const auto drawn = pixelsOf(image, crossBlue);
  EXPECT_EQ(drawn.size(), 25u);  // 13 + 13, sharing the centre
  for (const cv::Point p : drawn) EXPECT_TRUE((p.y == 20 && p.x >= 4 && p.x <= 16) || (p.x == 10 && p.y >= 14 && p.y <= 26)) << p;
  EXPECT_EQ(pixelsOf(image, black).size(), 900u - 25u);
}

TEST(RenderBlobs, CrossAtTheBorderIsClippedNotShifted) {
  Blobs blobs;
  blobs.add(1);  // centroid (0, 0)
  cv::Mat image = canvas();
  renderBlobs(labels, renderCentroid, blobs.table, image);
  EXPECT_EQ(pixelsOf(image, crossBlue).size(), 13u);  // (0..6, 0) and (0, 0..6)
  EXPECT_EQ(image.at<cv::Vec3b>(0, 6), crossBlue);
  EXPECT_EQ(image.at<cv::Vec3b>(6, 0), crossBlue);
  EXPECT_EQ(image.at<cv::Vec3b>(0, 7), black);
}

TEST(RenderBlobs, OnePixelBoxAndLayeringWithTheCross) {
  Blobs blobs;
  Blob& dot = blobs.add(1);
  dot.minX = dot.maxX = dot.minY = dot.maxY = 5;
  dot.centroidX = dot.centroidY = 5;
  Blob& square = blobs.add(2);
  square.minX = 15;
  square.maxX = 25;
  square.minY = 15;
  square.maxY = 25;
  square.centroidX = square.centroidY = 20;
  cv::Mat image = canvas();
  renderBlobs(labels, renderBoundingBox, blobs.table, image);
  EXPECT_EQ(image.at<cv::Vec3b>(5, 5), red);
  EXPECT_EQ(pixelsOf(image, red).size(), 1u + 40u);
  EXPECT_EQ(image.at<cv::Vec3b>(20, 20), black);

  // Crosses then boxes on the same image: both remain, the box over the cross.
  renderBlobs(labels, renderCentroid, blobs.table, image);
  EXPECT_EQ(image.at<cv::Vec3b>(5, 5), crossBlue);
  EXPECT_EQ(image.at<cv::Vec3b>(20, 20), crossBlue);
  renderBlobs(labels, renderBoundingBox, blobs.table, image);
  EXPECT_EQ(image.at<cv::Vec3b>(5, 5), red);
  EXPECT_EQ(image.at<cv::Vec3b>(20, 26), crossBlue);
}

TEST(RenderBlobs, AngleLineComputesMomentsThroughTheCopy) {
  // A horizontal bar of 1000 pixels: angle 0, half-length 5.
  LabelImage barLabels(3, 1000, CV_32SC1, cv::Scalar(0));
  barLabels.row(1).setTo(7);
  Blobs blobs;
  Blob& bar = blobs.add(7);
  bar.area = 1000;
  bar.minX = 0;
  bar.maxX = 999;
  bar.minY = bar.maxY = 1;
  bar.centroidX = 499.5;
  bar.centroidY = 1;
  cv::Mat image(3, 1000, CV_8UC3, cv::Scalar(0, 0, 0));
  renderBlobs(barLabels, renderAngle, blobs.table, image);
  EXPECT_TRUE(bar.centralMomentsComputed);
  const auto drawn = pixelsOf(image, green);
  ASSERT_EQ(drawn.size(), 11u);
  EXPECT_EQ(drawn.front(), cv::Point(494, 1));
  EXPECT_EQ(drawn.back(), cv::Point(504, 1));

  // The cached moments are reused: a wrong-format image for the moments is never consulted again.
  bar.u20 = 0.0;
  bar.u02 = 1.0;  // now a vertical axis
  cv::Mat again(20, 1000, CV_8UC3, cv::Scalar(0, 0, 0));
  renderBlobs(barLabels, renderAngle, blobs.table, again);
  EXPECT_EQ(again.at<cv::Vec3b>(1, 499), green);
}

TEST(RenderBlobs, LabelTextIsDrawnAtTheCentroid) {
  Blobs blobs;
  Blob& blob = blobs.add(7);
  blob.area = 52;
  blob.centroidX = 3.9;
  blob.centroidY = 20.5;
  cv::Mat image = canvas(120, 30);
  renderBlobs(labels, renderLabel, blobs.table, image);
  cv::Mat expected = canvas(120, 30);
  cv::putText(expected, "ID7 Area52", {3, 20}, cv::FONT_HERSHEY_PLAIN, 1.0, cv::Scalar(0, 255, 0), 1, cv::LINE_8);
  EXPECT_EQ(cv::norm(image, expected, cv::NORM_INF), 0.0);
  EXPECT_GT(pixelsOf(image, green).size(), 20u);
}

TEST(RenderBlobs, FormatChecksComeFirstAndModeZeroDrawsNothing) {
  Blobs blobs;
  blobs.add(1);
  cv::Mat image = canvas();
  const cv::Mat badLabels(30, 30, CV_8UC1, cv::Scalar(0));
  cv::Mat grey(30, 30, CV_8UC1, cv::Scalar(0));

  EXPECT_EQ(stderrOf([&] { renderBlobs(badLabels, 0, blobs.table, image); }), "Error: Label image format.\n");
  EXPECT_EQ(stderrOf([&] { renderBlobs(badLabels, renderCentroid, blobs.table, grey); }),
            "Error: Label image format.\n");
  EXPECT_EQ(stderrOf([&] { renderBlobs(labels, renderCentroid, blobs.table, grey); }),
            "Error: Output image format.\n");
  EXPECT_EQ(stderrOf([&] { renderBlobs(labels, 0, blobs.table, image); }), "");
  EXPECT_EQ(stderrOf([&] { renderBlobs(labels, 0x0010, blobs.table, image); }), "");
  EXPECT_EQ(stderrOf([&] { renderBlobs(labels, renderCentroid, BlobTable{}, image); }), "");
  EXPECT_EQ(cv::countNonZero(grey), 0);
  EXPECT_EQ(pixelsOf(image, black).size(), 900u);
  EXPECT_EQ(blobs.table.size(), 1u);
}

}  // namespace
}  // namespace corvale
