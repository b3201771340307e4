#include "analysis/image_files.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include <opencv2/imgcodecs.hpp>

namespace corvale {
namespace {

char lowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

std::string systemError(const std::filesystem::path& path, const char* what) {
  return path.string() + ": " + what + ": " + std::strerror(errno);
}

}  // namespace

std::string joinImagePath(std::string_view folder, std::string_view name) {
  std::string path(folder);
  path.push_back('/');
  path.append(name);
  return path;
}

bool hasJpgExtension(std::string_view name) {
  constexpr std::string_view extension = ".jpg";
  if (name.size() < extension.size()) return false;
  const std::string_view tail = name.substr(name.size() - extension.size());
  return std::equal(tail.begin(), tail.end(), extension.begin(),
                    [](char a, char b) { return lowerAscii(a) == b; });
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
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    const std::string name = entry.path().filename().string();
    if (!hasJpgExtension(name)) continue;
    std::error_code error;
    if (regularFilesOnly && !entry.is_regular_file(error)) continue;
    names.push_back(name);
  }
  sortNamesIgnoringCase(names);
  return names;
}

cv::Mat loadPhotograph(const std::string& path) {
  std::error_code error;
  if (!std::filesystem::exists(path, error)) throw std::runtime_error("no such file");
  if (!std::filesystem::is_regular_file(path, error)) throw std::runtime_error("not a regular file");
  cv::Mat image = cv::imread(path, cv::IMREAD_UNCHANGED);
  if (image.empty()) throw std::runtime_error("the file cannot be read as an image");
  return image;
}

void writeJpeg(const std::filesystem::path& path, const cv::Mat& image) {
  std::vector<std::uint8_t> bytes;
  try {
    if (!cv::imencode(".jpg", image, bytes)) throw std::runtime_error("");
  } catch (const std::exception&) {
    throw std::runtime_error(path.string() + ": the image cannot be encoded as JPEG");
  }

  std::filesystem::path temporary = path;
  temporary += ".partial";
  std::FILE* file = std::fopen(temporary.c_str(), "wb");
  if (file == nullptr) throw std::runtime_error(systemError(path, "cannot be written"));
  const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  const int savedErrno = errno;
  const bool closed = std::fclose(file) == 0;
  if (!written || !closed) {
    errno = written ? errno : savedErrno;
    const std::string message = systemError(path, "cannot be written");
    std::remove(temporary.c_str());
    throw std::runtime_error(message);
  }
  if (std::rename(temporary.c_str(), path.c_str()) != 0) {
    const std::string message = systemError(path, "cannot be written");
    std::remove(temporary.c_str());
    throw std::runtime_error(message);
  }
}

}  // namespace corvale
