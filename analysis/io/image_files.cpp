#include "analysis/io/image_files.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <stdexcept>

#include <opencv2/imgproc.hpp>

#include "analysis/io/image_header.hpp"
#include "analysis/io/jpeg_codec.hpp"
#include "analysis/io/png_codec.hpp"
#include "analysis/io/safe_file.hpp"

namespace corvale {
namespace {

char lowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool endsWithIgnoringCase(std::string_view name, std::string_view extension) {
  if (name.size() < extension.size()) return false;
  const std::string_view tail = name.substr(name.size() - extension.size());
  return std::equal(tail.begin(), tail.end(), extension.begin(), [](char a, char b) { return lowerAscii(a) == b; });
}

template <typename Accept>
std::vector<std::string> listNames(const std::filesystem::path& folder, bool regularFilesOnly, Accept accept) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    const std::string name = entry.path().filename().string();
    if (!accept(name)) continue;
    std::error_code error;
    if (regularFilesOnly && !entry.is_regular_file(error)) continue;
    names.push_back(name);
  }
  sortNamesIgnoringCase(names);
  return names;
}

}  // namespace

std::string joinImagePath(std::string_view folder, std::string_view name) {
  std::string path(folder);
  path.push_back('/');
  path.append(name);
  return path;
}

bool hasJpgExtension(std::string_view name) { return endsWithIgnoringCase(name, ".jpg"); }

bool hasPhotographExtension(std::string_view name) {
  return endsWithIgnoringCase(name, ".jpg") || endsWithIgnoringCase(name, ".jpeg") || endsWithIgnoringCase(name, ".png");
}

void sortNamesIgnoringCase(std::vector<std::string>& names) {
  const auto folded = [](char c) { return static_cast<unsigned char>(lowerAscii(c)); };
  std::sort(names.begin(), names.end(), [&](const std::string& a, const std::string& b) {
    const auto [inA, inB] = std::mismatch(a.begin(), a.end(), b.begin(), b.end(),
                                          [&](char x, char y) { return folded(x) == folded(y); });
    if (inA != a.end() && inB != b.end()) return folded(*inA) < folded(*inB);
    if (a.size() != b.size()) return a.size() < b.size();
    return a < b;  // equal but for case
  });
}

std::vector<std::string> listJpgNames(const std::filesystem::path& folder, bool regularFilesOnly) {
  return listNames(folder, regularFilesOnly, [](std::string_view name) { return hasJpgExtension(name); });
}

std::vector<std::string> listPhotographNames(const std::filesystem::path& folder, bool regularFilesOnly) {
  return listNames(folder, regularFilesOnly, [](std::string_view name) { return hasPhotographExtension(name); });
}

cv::Mat decodePhotograph(std::span<const std::uint8_t> bytes, const PhotographLimits& limits, int* orientation) {
  if (bytes.empty()) throw std::runtime_error("the file is empty");
  const std::optional<ImageHeader> header = readImageHeader(bytes);
  if (!header) throw std::runtime_error("the file is not a JPEG or PNG image");
  const char* format = header->format == ImageFormat::jpeg ? "JPEG" : "PNG";
  if (header->width == 0 || header->height == 0)
    throw std::runtime_error(std::string("the ") + format + " file ends before its image size");
  requirePixelLimit(header->width, header->height, limits.maxPixels);
  if (!header->complete) throw std::runtime_error(std::string("the ") + format + " file is truncated: image data is missing");

  // The decoders check the size they will decode themselves, before allocating.
  cv::Mat image = header->format == ImageFormat::jpeg ? decodeJpeg(bytes, limits.maxPixels)
                                                      : decodePng(bytes, limits.maxPixels);
  if (orientation != nullptr) *orientation = header->orientation;
  return image;
}

std::vector<std::uint8_t> readPhotographFile(const std::string& path, const PhotographLimits& limits) {
  std::error_code error;
  const auto status = std::filesystem::status(path, error);
  if (!std::filesystem::exists(status)) {
    const bool dangling = std::filesystem::is_symlink(std::filesystem::symlink_status(path, error));
    throw std::runtime_error(dangling ? "a symbolic link to a file that does not exist" : "no such file");
  }
  if (std::filesystem::is_directory(status)) throw std::runtime_error("a folder, not a photograph");
  if (!std::filesystem::is_regular_file(status)) throw std::runtime_error("not a regular file");
  const std::uintmax_t size = std::filesystem::file_size(path, error);
  if (error) throw std::runtime_error("cannot be read: " + error.message());
  if (size > limits.maxFileBytes)
    throw std::runtime_error("the file is larger than " + std::to_string(limits.maxFileBytes >> 20) + " MB");

  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) throw std::runtime_error(std::string("cannot be read: ") + std::strerror(errno));
  const std::size_t read = std::fread(bytes.data(), 1, bytes.size(), file);
  const bool failed = std::ferror(file) != 0;
  std::fclose(file);
  if (failed) throw std::runtime_error("cannot be read: input error");
  bytes.resize(read);  // the file may have shrunk since its size was taken
  return bytes;
}

cv::Mat loadPhotograph(const std::string& path, const PhotographLimits& limits, int* orientation) {
  return decodePhotograph(readPhotographFile(path, limits), limits, orientation);
}

cv::Mat colourPhotograph(const cv::Mat& photograph) {
  cv::Mat colour;
  switch (photograph.channels()) {
    case 1: cv::cvtColor(photograph, colour, cv::COLOR_GRAY2BGR); break;
    case 3: colour = photograph; break;
    case 4: cv::cvtColor(photograph, colour, cv::COLOR_BGRA2BGR); break;
    default: {
      cv::Mat first;
      cv::extractChannel(photograph, first, 0);
      cv::cvtColor(first, colour, cv::COLOR_GRAY2BGR);
    }
  }
  return colour;
}

void writeJpeg(const std::filesystem::path& path, const cv::Mat& image, int orientation) {
  std::vector<std::uint8_t> bytes;
  try {
    bytes = encodeJpeg(image, orientation);
  } catch (const std::runtime_error& error) {
    throw std::runtime_error(path.string() + ": " + error.what());
  }
  writeFileAtomically(path, bytes);
}

void writePng(const std::filesystem::path& path, const cv::Mat& image) {
  std::vector<std::uint8_t> bytes;
  try {
    bytes = encodePng(image);
  } catch (const std::runtime_error& error) {
    throw std::runtime_error(path.string() + ": " + error.what());
  }
  writeFileAtomically(path, bytes);
}

}  // namespace corvale
