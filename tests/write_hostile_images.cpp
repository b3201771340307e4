// Writes the hostile files of hostile_images.hpp into a folder: small ones for the
// fuzz corpus, full-size ones for measuring time and memory.
//   write_hostile_images FOLDER

#include <cstdio>
#include <filesystem>
#include <fstream>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "hostile_images.hpp"

namespace {

void write(const std::filesystem::path& path, const corvale::testing::Bytes& bytes) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), static_cast<long>(bytes.size()));
  std::printf("%s: %zu bytes\n", path.c_str(), bytes.size());
}

corvale::testing::Bytes png(const cv::Mat& image) {
  corvale::testing::Bytes bytes;
  cv::imencode(".png", image, bytes);
  return bytes;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: write_hostile_images FOLDER\n");
    return 2;
  }
  using namespace corvale::testing;
  const std::filesystem::path folder = argv[1];
  std::filesystem::create_directories(folder);
  cv::Mat grey;
  cv::cvtColor(gradient(8), grey, cv::COLOR_BGR2GRAY);
  write(folder / "corpus-two-frames.jpg", twoFrameJpeg(16, 8000, 8000));
  write(folder / "corpus-many-scans.jpg", manyScanJpeg(grey, 302));
  write(folder / "two-frames-8000.jpg", twoFrameJpeg(64, 8000, 8000));
  write(folder / "many-scans.jpg", manyScanJpeg(cv::Mat(3000, 4000, CV_8UC3, cv::Scalar(40, 60, 160)), 5000));
  write(folder / "checkerboard-5000.png", png(checkerboardPlate(5000)));
  write(folder / "checkerboard-10000.png", png(checkerboardPlate(10000)));
  return 0;
}
