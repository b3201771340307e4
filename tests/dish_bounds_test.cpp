#include <gtest/gtest.h>

#include <set>

#include <opencv2/imgproc.hpp>

#include "analysis/fixed/dish_bounds.hpp"

namespace corvale {
namespace {

cv::Mat bgr(int rows, int cols, cv::Scalar colour) { return cv::Mat(rows, cols, CV_8UC3, colour); }

std::int32_t lumaOf(cv::Scalar colour) { return pixelLuma(bgr(1, 1, colour), 0, 0); }

TEST(PixelLuma, WorkedValues) {
  EXPECT_EQ(lumaOf({255, 0, 0}), 29);
  EXPECT_EQ(lumaOf({0, 255, 0}), 149);
  EXPECT_EQ(lumaOf({0, 0, 255}), 76);
  EXPECT_EQ(lumaOf({255, 255, 255}), 255);
  EXPECT_EQ(lumaOf({100, 100, 100}), 100);
  EXPECT_EQ(lumaOf({23, 23, 23}), 22);
  EXPECT_EQ(lumaOf({10, 20, 30}), 21);
  // One channel: the value times 0.114, truncated. Alpha is not part of luma.
  EXPECT_EQ(pixelLuma(cv::Mat(1, 1, CV_8UC1, cv::Scalar(200)), 0, 0), 22);
  EXPECT_EQ(pixelLuma(cv::Mat(1, 1, CV_8UC4, cv::Scalar(10, 20, 30, 255)), 0, 0), 21);
  EXPECT_EQ(pixelLuma(cv::Mat(1, 1, CV_16UC3, cv::Scalar(1000, 1000, 1000)), 0, 0), 1000);
}

TEST(PixelLuma, TheAdditionOrderDecidesWhichGreysLoseOne) {
  // With the green product added to the blue one first, exactly these greys come out
  // one below their value; any other order of the sums changes the list.
  const std::set<int> expected{23, 46, 57, 59, 92, 114, 118, 127, 184, 205, 223, 228, 236, 241, 249, 254};
  std::set<int> lower;
  for (int grey = 0; grey < 256; ++grey) {
    const std::int32_t luma = lumaOf(cv::Scalar::all(grey));
    ASSERT_TRUE(luma == grey || luma == grey - 1) << grey;
    if (luma != grey) lower.insert(grey);
  }
  EXPECT_EQ(lower, expected);
}

TEST(BackgroundLevel, MeanOfThePatchTruncated) {
  EXPECT_EQ(measureBackgroundLevel(bgr(40, 40, cv::Scalar::all(23))), 22);
  // Lumas adding up to 999 over the patch: 99 pixels of 10 and one of 9.
  cv::Mat photo = bgr(40, 40, cv::Scalar::all(10));
  photo.at<cv::Vec3b>(15, 15) = cv::Vec3b(9, 9, 9);
  EXPECT_EQ(measureBackgroundLevel(photo), 9);
  // Only rows and columns 10 to 19 count.
  photo.rowRange(0, 10).setTo(cv::Scalar::all(255));
  photo.colRange(20, 40).setTo(cv::Scalar::all(255));
  EXPECT_EQ(measureBackgroundLevel(photo), 9);
}

TEST(BackgroundLevel, PhotographsSmallerThanThePatchHaveNone) {
  EXPECT_FALSE(measureBackgroundLevel(bgr(19, 40, cv::Scalar::all(50))).has_value());
  EXPECT_FALSE(measureBackgroundLevel(bgr(40, 19, cv::Scalar::all(50))).has_value());
  EXPECT_TRUE(measureBackgroundLevel(bgr(20, 20, cv::Scalar::all(50))).has_value());
  EXPECT_FALSE(measureBackgroundLevel(cv::Mat()).has_value());
}

// The 100 x 100 photograph of luma 50 with a luma-200 rectangle over columns 20 to
// 79 and rows 30 to 69.
cv::Mat rectanglePhoto() {
  cv::Mat photo = bgr(100, 100, cv::Scalar::all(50));
  photo(cv::Rect(20, 30, 60, 40)).setTo(cv::Scalar::all(200));
  return photo;
}

TEST(DishBounds, FindsTheRectangle) {
  const auto bounds = findDishBounds(rectanglePhoto(), 50);
  ASSERT_TRUE(bounds.has_value());
  EXPECT_EQ(bounds->left, 20);
  EXPECT_EQ(bounds->right, 79);
  EXPECT_EQ(bounds->top, 30);
  EXPECT_EQ(bounds->bottom, 69);
  EXPECT_EQ(bounds->right - bounds->left, 59);
  EXPECT_EQ(bounds->bottom - bounds->top, 39);
}

TEST(DishBounds, TheFirstColumnAndRowAreNeverExamined) {
  cv::Mat photo = rectanglePhoto();
  photo.col(0).setTo(cv::Scalar::all(255));
  photo.row(0).setTo(cv::Scalar::all(255));
  const auto bounds = findDishBounds(photo, 50);
  ASSERT_TRUE(bounds.has_value());
  EXPECT_EQ(bounds->left, 20);
  EXPECT_EQ(bounds->top, 30);
}

TEST(DishBounds, ThresholdsAreStrict) {
  // Luma 70 differs from 50 by exactly 20: not different. 71 (by 21) is, and so is 29.
  for (const auto& [grey, differs] : {std::pair{70, false}, std::pair{71, true}, std::pair{29, true}}) {
    cv::Mat photo = rectanglePhoto();
    photo(cv::Rect(5, 0, 1, 16)).setTo(cv::Scalar::all(grey));
    EXPECT_EQ(findDishBounds(photo, 50)->left, differs ? 5 : 20) << grey;
  }
  // 15 differing pixels do not make a line qualify; 16 do, wherever they are.
  cv::Mat photo = rectanglePhoto();
  photo(cv::Rect(5, 0, 1, 15)).setTo(cv::Scalar::all(0));
  EXPECT_EQ(findDishBounds(photo, 50)->left, 20);
  photo.at<cv::Vec3b>(99, 5) = cv::Vec3b(0, 0, 0);
  EXPECT_EQ(findDishBounds(photo, 50)->left, 5);
}

TEST(DishBounds, NoQualifyingLineGivesNothing) {
  EXPECT_FALSE(findDishBounds(bgr(60, 60, cv::Scalar::all(50)), 50).has_value());
  // A vertical stripe qualifies as columns but no row has 16 differing pixels.
  cv::Mat stripe = bgr(60, 60, cv::Scalar::all(50));
  stripe.colRange(30, 40).setTo(cv::Scalar::all(200));
  EXPECT_FALSE(findDishBounds(stripe, 50).has_value());
  EXPECT_FALSE(findDishBounds(bgr(1, 1, cv::Scalar::all(200)), 50).has_value());
}

}  // namespace
}  // namespace corvale
