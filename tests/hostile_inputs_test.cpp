// Whatever lands in a lab folder: broken, foreign, huge, tiny and odd files. None may
// crash, hang, or produce a number that looks valid but is not.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <fstream>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "analysis/dish_analysis.hpp"
#include "analysis/io/image_files.hpp"
#include "analysis/io/image_header.hpp"
#include "analysis_helpers.hpp"
#include "hostile_images.hpp"
#include "temporary_folder.hpp"

namespace corvale {
namespace {

using Bytes = std::vector<std::uint8_t>;

// A small plate like the analysis tests', with `channels` channels.
cv::Mat plate(int channels = 3) {
  cv::Mat photo(120, 120, CV_8UC3, cv::Scalar(30, 30, 30));
  photo(cv::Rect(15, 15, 90, 90)).setTo(cv::Scalar(40, 60, 160));
  photo(cv::Rect(50, 50, 20, 20)).setTo(cv::Scalar::all(220));
  if (channels == 1) cv::cvtColor(photo, photo, cv::COLOR_BGR2GRAY);
  if (channels == 4) cv::cvtColor(photo, photo, cv::COLOR_BGR2BGRA);
  return photo;
}

Bytes encode(const char* extension, const cv::Mat& image) {
  Bytes bytes;
  cv::imencode(extension, image, bytes);
  return bytes;
}

// The position just after the JPEG's start-of-scan header: what precedes it is the
// whole header, what follows is image data.
std::size_t imageDataStart(const Bytes& jpeg) {
  for (std::size_t at = 2; at + 3 < jpeg.size(); ++at)
    if (jpeg[at] == 0xFF && jpeg[at + 1] == 0xDA) return at + 2 + (jpeg[at + 2] << 8 | jpeg[at + 3]);
  return 0;
}

class HostileInputs : public ::testing::Test {
 protected:
  std::string write(const std::string& name, const Bytes& bytes) {
    const std::string path = (folder.path() / name).string();
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    return path;
  }
  DishAnalysis analyse(const std::string& path, const PhotographLimits& limits = {}) {
    AnalysisBuffers buffers;
    std::filesystem::create_directories(folder.path() / "out");
    return testing::analyseAndWrite(path, AnalysisSettings{.minColonyArea = 100}, ImageOutputs{true, folder.path() / "out", ""},
                                     CountingMethod::fixed, limits, &buffers);
  }
  void expectFailure(const std::string& path, const std::string& problem) {
    const DishAnalysis result = analyse(path);
    ASSERT_FALSE(result.ok()) << path;
    EXPECT_NE(result.error->find(problem), std::string::npos) << *result.error;
    EXPECT_FALSE(result.statistics.has_value());
  }
  testing::TemporaryFolder folder;
};

TEST_F(HostileInputs, FilesThatAreNotWholeImagesFail) {
  const Bytes jpeg = encode(".jpg", plate());
  const std::size_t dataStart = imageDataStart(jpeg);
  ASSERT_GT(dataStart, 0u);
  expectFailure(write("empty.jpg", {}), "the file is empty");
  expectFailure(write("notes.jpg", Bytes{'h', 'e', 'l', 'l', 'o'}), "not a JPEG or PNG image");
  expectFailure(write("header-only.jpg", Bytes(jpeg.begin(), jpeg.begin() + dataStart)), "JPEG file is truncated");
  expectFailure(write("half.jpg", Bytes(jpeg.begin(), jpeg.begin() + jpeg.size() / 2)), "JPEG file is truncated");
  expectFailure(write("no-end.jpg", Bytes(jpeg.begin(), jpeg.end() - 2)), "JPEG file is truncated");
  expectFailure(write("soi-only.jpg", Bytes{0xFF, 0xD8, 0xFF}), "ends before its image size");
  const Bytes png = encode(".png", plate());
  expectFailure(write("half-png.jpg", Bytes(png.begin(), png.begin() + png.size() / 2)), "cannot be decoded");
  expectFailure(write("bitmap.jpg", encode(".bmp", plate())), "not a JPEG or PNG image");
  // The complete file still analyses.
  EXPECT_TRUE(analyse(write("whole.jpg", jpeg)).ok());
}

TEST_F(HostileInputs, ForeignButSoundImagesAreHandled) {
  // PNG content under a .jpg name is an image like any other.
  const DishAnalysis png = analyse(write("png.jpg", encode(".png", plate())));
  ASSERT_TRUE(png.ok()) << *png.error;
  EXPECT_EQ(png.statistics->colonyCount, 1);

  cv::Mat deep;
  plate().convertTo(deep, CV_16UC3, 257.0);
  expectFailure(write("deep.jpg", encode(".png", deep)), "16 bits per channel");

  // The annotations are drawn in colour even on a four-channel or grey photograph.
  const DishAnalysis alpha = analyse(write("alpha.jpg", encode(".png", plate(4))));
  ASSERT_TRUE(alpha.ok()) << *alpha.error;
  ASSERT_EQ(alpha.annotatedImage.type(), CV_8UC3);
  EXPECT_EQ(alpha.annotatedImage.at<cv::Vec3b>(50, 50), cv::Vec3b(0, 0, 255));
  for (const char* format : {".png", ".jpg"}) {
    const DishAnalysis grey = analyse(write("grey.jpg", encode(format, plate(1))));
    ASSERT_TRUE(grey.ok()) << *grey.error;
    EXPECT_EQ(grey.annotatedImage.type(), CV_8UC3);
  }

  // A colour profile that is not one: libpng warns, the pixels are sound, nothing is
  // printed.
  Bytes profiledPng = encode(".png", plate());
  const Bytes profile{'i', 'C', 'C', 'P', 'b', 'a', 'd', 0, 0, 0x78, 0x9C, 0x03, 0x00, 0x00, 0x00, 0x00, 0x01};
  Bytes chunk{0, 0, 0, static_cast<std::uint8_t>(profile.size() - 4)};
  chunk.insert(chunk.end(), profile.begin(), profile.end());
  std::uint32_t crc = 0xFFFFFFFFu;
  for (const std::uint8_t byte : profile) {
    crc ^= byte;
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  crc = ~crc;
  for (const int shift : {24, 16, 8, 0}) chunk.push_back(static_cast<std::uint8_t>(crc >> shift));
  profiledPng.insert(profiledPng.begin() + 33, chunk.begin(), chunk.end());  // after the signature and IHDR
  ::testing::internal::CaptureStderr();
  const DishAnalysis profiled = analyse(write("profile.jpg", profiledPng));
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  EXPECT_TRUE(profiled.ok()) << *profiled.error;
  ::testing::internal::CaptureStderr();
  cv::imdecode(profiledPng, cv::IMREAD_UNCHANGED);
  EXPECT_NE(::testing::internal::GetCapturedStderr(), "");  // the chunk does draw a warning
}

TEST_F(HostileInputs, TinyAndUniformImagesFail) {
  expectFailure(write("one.jpg", encode(".png", cv::Mat(1, 1, CV_8UC3, cv::Scalar::all(200)))), "smaller than 20 x 20");
  expectFailure(write("nineteen.jpg", encode(".jpg", cv::Mat(19, 19, CV_8UC3, cv::Scalar::all(200)))),
                "smaller than 20 x 20");
  expectFailure(write("uniform.jpg", encode(".jpg", cv::Mat(300, 300, CV_8UC3, cv::Scalar(30, 90, 160)))),
                "no dish found");
}

TEST_F(HostileInputs, HugeClaimedSizesAreRefusedBeforeDecoding) {
  // A JPEG start, a frame header claiming 30000 x 30000 pixels, and little else.
  Bytes jpeg{0xFF, 0xD8, 0xFF, 0xC0, 0x00, 0x11, 0x08, 0x75, 0x30, 0x75, 0x30, 0x03,
             0x01, 0x22, 0x00, 0x02, 0x11, 0x01, 0x03, 0x11, 0x01, 0xFF, 0xDA, 0x00, 0x02};
  jpeg.resize(300, 0x55);
  jpeg.push_back(0xFF);
  jpeg.push_back(0xD9);
  const auto header = readImageHeader(jpeg);
  ASSERT_TRUE(header.has_value());
  EXPECT_EQ(header->width, 30000u);
  EXPECT_EQ(header->height, 30000u);
  expectFailure(write("huge.jpg", jpeg), "30000 x 30000 pixels, more than the limit of 100 megapixels");

  Bytes png = encode(".png", cv::Mat(2, 2, CV_8UC3, cv::Scalar::all(1)));
  png[16] = 0, png[17] = 0, png[18] = 0x75, png[19] = 0x30;  // width 30000
  png[20] = 0, png[21] = 0, png[22] = 0x75, png[23] = 0x30;  // height 30000
  expectFailure(write("huge-png.jpg", png), "30000 x 30000 pixels");

  // The limit is the caller's to choose.
  const Bytes normal = encode(".jpg", plate());
  const DishAnalysis small = analyse(write("plate.jpg", normal), PhotographLimits{.maxPixels = 10'000});
  ASSERT_FALSE(small.ok());
  EXPECT_NE(small.error->find("120 x 120 pixels, more than the limit"), std::string::npos) << *small.error;
}

TEST_F(HostileInputs, WhatTheDecoderFindsFailsThePhotographQuietly) {
  const Bytes jpeg = encode(".jpg", plate());
  const std::size_t dataStart = imageDataStart(jpeg);
  Bytes cutWithEnd(jpeg.begin(), jpeg.begin() + static_cast<long>((dataStart + jpeg.size()) / 2));
  cutWithEnd.insert(cutWithEnd.end(), {0xFF, 0xD9});
  Bytes noise = jpeg;
  cv::RNG rng(11);
  for (std::size_t at = dataStart; at + 2 < noise.size(); ++at) noise[at] = static_cast<std::uint8_t>(rng.uniform(0, 255));
  Bytes arithmetic = jpeg;  // the same data declared arithmetic-coded: garbage to that decoder
  arithmetic[testing::findSegment(jpeg, 0xC0) + 1] = 0xC9;
  const struct {
    const char* name;
    Bytes file;
    PhotographLimits limits;
    const char* problem;
  } cases[] = {
      // The frame header libjpeg decodes comes first; a walker that kept the last
      // one would take this for 64 x 64.
      {"two-frames.jpg", testing::twoFrameJpeg(64, 8000, 8000), {.maxPixels = 1'000'000},
       "the image is 8000 x 8000 pixels, more than the limit of 1 megapixels"},
      {"two-frames-within.jpg", testing::twoFrameJpeg(64, 500, 500), {}, "Corrupt JPEG data"},
      {"many-scans.jpg", testing::manyScanJpeg(plate(), 400), {}, "the JPEG image has more than 300 scans"},
      {"cut-with-end.jpg", cutWithEnd, {}, "the JPEG image data cannot be decoded: Corrupt JPEG data"},
      {"noise.jpg", noise, {}, "the JPEG image data cannot be decoded"},
      {"arithmetic.jpg", arithmetic, {}, "the JPEG image is arithmetic-coded"},
      {"checkerboard.png", encode(".png", testing::checkerboardPlate(600)), {},
       "the image breaks up into too many pieces to be a plate photograph (more than 65536"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = write(c.name, c.file);
    ::testing::internal::CaptureStderr();
    const DishAnalysis result = analyse(path, c.limits);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    ASSERT_FALSE(result.ok());
    EXPECT_NE(result.error->find(c.problem), std::string::npos) << *result.error;
    EXPECT_FALSE(result.statistics.has_value());
  }
  // As many scans as the cap still decode.
  EXPECT_NO_THROW(decodePhotograph(testing::manyScanJpeg(plate(), 300)));
}

TEST_F(HostileInputs, OnlyRegularFilesAreRead) {
  std::filesystem::create_directory(folder.path() / "folder.jpg");
  ASSERT_EQ(mkfifo((folder.path() / "pipe.jpg").c_str(), 0600), 0);
  std::filesystem::create_symlink(folder.path() / "gone.jpg", folder.path() / "dangling.jpg");
  write("real.jpg", encode(".jpg", plate()));
  std::filesystem::create_symlink(folder.path() / "real.jpg", folder.path() / "link.jpg");

  expectFailure((folder.path() / "folder.jpg").string(), "a folder, not a photograph");
  expectFailure((folder.path() / "pipe.jpg").string(), "not a regular file");
  expectFailure((folder.path() / "dangling.jpg").string(), "symbolic link to a file that does not exist");
  EXPECT_TRUE(analyse((folder.path() / "link.jpg").string()).ok());
  EXPECT_EQ(listJpgNames(folder.path(), true), (std::vector<std::string>{"link.jpg", "real.jpg"}));
}

TEST_F(HostileInputs, AnyFileNameWorks) {
  const Bytes jpeg = encode(".jpg", plate());
  for (const std::string name : {"plate with spaces.jpg", "Petrischale \xC3\xB6\xC3\xA4\xE2\x82\xAC.jpg",
                                 "bad \xFF\xFE bytes.jpg"}) {
    const DishAnalysis result = analyse(write(name, jpeg));
    EXPECT_TRUE(result.ok()) << name;
  }
}

}  // namespace
}  // namespace corvale
