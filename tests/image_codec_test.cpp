// The JPEG and PNG codecs against what OpenCV's decoder and encoder gave: the same
// pixels, depth and channels, so that no count moves, plus what they refuse.

#include <gtest/gtest.h>

#include <png.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "analysis/io/image_files.hpp"
#include "analysis/io/image_header.hpp"
#include "analysis/io/jpeg_codec.hpp"
#include "analysis/io/png_codec.hpp"
#include "hostile_images.hpp"

namespace corvale {
namespace {

using testing::Bytes;
using testing::gradient;

Bytes encode(const char* extension, const cv::Mat& image, const std::vector<int>& options = {}) {
  Bytes bytes;
  cv::imencode(extension, image, bytes, options);
  return bytes;
}

// A PNG through libpng's simplified writer: palette images and grey with alpha,
// which OpenCV does not write.
Bytes simplePng(std::uint32_t format, const cv::Mat& pixels, const std::vector<std::uint8_t>& colourMap = {}) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  image.width = static_cast<png_uint_32>(pixels.cols);
  image.height = static_cast<png_uint_32>(pixels.rows);
  image.format = format;
  image.colormap_entries = static_cast<png_uint_32>(colourMap.size() / PNG_IMAGE_SAMPLE_CHANNELS(format));
  png_alloc_size_t size = 0;
  png_image_write_to_memory(&image, nullptr, &size, 0, pixels.data, 0, colourMap.data());
  Bytes bytes(size);
  EXPECT_TRUE(png_image_write_to_memory(&image, bytes.data(), &size, 0, pixels.data, 0, colourMap.data()));
  bytes.resize(size);
  return bytes;
}

TEST(ImageCodecs, DecodeAsOpenCvDidUnchanged) {
  const cv::Mat colour = gradient(37);
  cv::Mat grey, alpha, deep, indices(37, 37, CV_8UC1), greyAlpha(37, 37, CV_8UC2);
  cv::cvtColor(colour, grey, cv::COLOR_BGR2GRAY);
  cv::cvtColor(colour, alpha, cv::COLOR_BGR2BGRA);
  alpha.col(3).setTo(cv::Scalar(1, 2, 3, 4));
  colour.convertTo(deep, CV_16UC3, 257.0, 3.0);
  for (int y = 0; y < 37; ++y)
    for (int x = 0; x < 37; ++x) {
      indices.at<std::uint8_t>(y, x) = static_cast<std::uint8_t>((x + y) % 3);
      greyAlpha.at<cv::Vec2b>(y, x) = cv::Vec2b(static_cast<std::uint8_t>(x * 7), static_cast<std::uint8_t>(y * 7));
    }
  const std::vector<std::uint8_t> rgb{255, 0, 0, 0, 128, 0, 10, 20, 30};
  const std::vector<std::uint8_t> rgba{255, 0, 0, 255, 0, 128, 0, 0, 10, 20, 30, 77};
  const struct {
    const char* name;
    Bytes file;
    int type;
  } cases[] = {
      {"colour JPEG", encode(".jpg", colour), CV_8UC3},
      {"grey JPEG", encode(".jpg", grey), CV_8UC1},
      {"progressive JPEG", encode(".jpg", colour, {cv::IMWRITE_JPEG_PROGRESSIVE, 1}), CV_8UC3},
      {"colour PNG", encode(".png", colour), CV_8UC3},
      {"grey PNG", encode(".png", grey), CV_8UC1},
      {"one-bit PNG", encode(".png", grey > 100, {cv::IMWRITE_PNG_BILEVEL, 1}), CV_8UC1},
      {"PNG with alpha", encode(".png", alpha), CV_8UC4},
      {"16-bit PNG", encode(".png", deep), CV_16UC3},
      {"palette PNG", simplePng(PNG_FORMAT_RGB_COLORMAP, indices, rgb), CV_8UC3},
      {"palette PNG with transparency", simplePng(PNG_FORMAT_RGBA_COLORMAP, indices, rgba), CV_8UC4},
      {"grey PNG with alpha", simplePng(PNG_FORMAT_GA, greyAlpha), CV_8UC4},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const cv::Mat expected = cv::imdecode(c.file, cv::IMREAD_UNCHANGED);
    const cv::Mat decoded = decodePhotograph(c.file);
    ASSERT_EQ(decoded.type(), c.type);
    ASSERT_EQ(expected.type(), c.type);
    EXPECT_EQ(cv::norm(decoded, expected, cv::NORM_INF), 0.0);
  }
}

TEST(ImageCodecs, EncodeAsOpenCvDidWithTheOrientation) {
  const cv::Mat colour = gradient(53);
  cv::Mat grey, alpha;
  cv::cvtColor(colour, grey, cv::COLOR_BGR2GRAY);
  cv::cvtColor(colour, alpha, cv::COLOR_BGR2BGRA);
  for (const cv::Mat& image : {colour, grey, alpha}) {
    SCOPED_TRACE(image.channels());
    const cv::Mat expected = cv::imdecode(encode(".jpg", image), cv::IMREAD_UNCHANGED);
    for (const int orientation : {1, 6, 8}) {
      const Bytes jpeg = encodeJpeg(image, orientation);
      EXPECT_LE(cv::norm(cv::imdecode(jpeg, cv::IMREAD_UNCHANGED), expected, cv::NORM_INF), 1.0);
      int read = 0;
      const cv::Mat decoded = decodePhotograph(jpeg, {}, &read);
      EXPECT_EQ(read, orientation);
      EXPECT_EQ(decoded.size(), image.size());  // stored orientation: never turned
    }
    const Bytes png = encodePng(image);
    EXPECT_EQ(cv::norm(cv::imdecode(png, cv::IMREAD_UNCHANGED), image, cv::NORM_INF), 0.0);
  }
  EXPECT_THROW(encodeJpeg(cv::Mat(4, 4, CV_16UC3)), std::runtime_error);
}

TEST(ImageCodecs, OrientationIsReadFromTheExifSegment) {
  // A camera's Exif in little-endian order with other tags before the orientation,
  // one in big-endian order, one with an invalid value, and an XMP segment.
  const Bytes plain = encode(".jpg", gradient(16));
  const auto withApp1 = [&](const Bytes& payload) {
    const std::size_t length = payload.size() + 2;
    Bytes jpeg;
    jpeg.reserve(plain.size() + length + 2);
    for (const int byte : {0xFF, 0xD8, 0xFF, 0xE1, static_cast<int>(length >> 8), static_cast<int>(length & 0xFF)})
      jpeg.push_back(static_cast<std::uint8_t>(byte));
    jpeg.insert(jpeg.end(), payload.begin(), payload.end());
    jpeg.insert(jpeg.end(), plain.begin() + 2, plain.end());
    return jpeg;
  };
  const Bytes little{'E', 'x', 'i', 'f', 0, 0, 'I', 'I', 42, 0, 8, 0, 0, 0, 2, 0,
                     0x0F, 0x01, 2, 0, 4, 0, 0, 0, 'A', 'B', 'C', 0,  // Make
                     0x12, 0x01, 3, 0, 1, 0, 0, 0, 6, 0, 0, 0,        // orientation 6
                     0, 0, 0, 0};
  Bytes big{'E', 'x', 'i', 'f', 0, 0, 'M', 'M', 0, 42, 0, 0, 0, 8, 0, 1,
            0x01, 0x12, 0, 3, 0, 0, 0, 1, 0, 3, 0, 0, 0, 0, 0, 0};
  Bytes invalid = big;
  invalid[25] = 9;
  const Bytes xmp{'h', 't', 't', 'p', ':', '/', '/', 'n', 's', '.', 'a', 'd', 'o', 'b', 'e'};
  const std::pair<Bytes, int> cases[] = {
      {plain, 1}, {withApp1(little), 6}, {withApp1(big), 3}, {withApp1(invalid), 1}, {withApp1(xmp), 1}};
  for (const auto& [jpeg, orientation] : cases) {
    EXPECT_EQ(readImageHeader(jpeg)->orientation, orientation);
    EXPECT_NO_THROW(decodeJpeg(jpeg, 1000));
  }
}

}  // namespace
}  // namespace corvale
