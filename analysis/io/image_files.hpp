#pragma once
// Photograph files: paths, folder listings, loading photographs, writing JPEG and
// PNG images.

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <opencv2/core.hpp>

#include "analysis/io/photograph_limits.hpp"

namespace corvale {

// The folder, one "/" and the name; the separator is added whatever the folder
// ends with, so "/" and "a.jpg" give "//a.jpg".
std::string joinImagePath(std::string_view folder, std::string_view name);

// True when `name` ends in ".jpg" in any letter case.
bool hasJpgExtension(std::string_view name);

// Sorts names alphabetically without regard to letter case (ASCII); names that
// differ only in case keep a fixed order.
void sortNamesIgnoringCase(std::vector<std::string>& names);

// The names of the folder's *.jpg entries (any letter case), sorted as above.
// With `regularFilesOnly`, entries that are not regular files (after following
// symbolic links) are left out. Throws std::filesystem::filesystem_error when the
// folder cannot be read.
std::vector<std::string> listJpgNames(const std::filesystem::path& folder, bool regularFilesOnly);

// True when `name` ends in ".jpg", ".jpeg" or ".png" in any letter case: the
// photographs the decoder reads.
bool hasPhotographExtension(std::string_view name);

// The dialog's listing: the folder's *.jpg, *.jpeg and *.png entries (any letter
// case), sorted and filtered as listJpgNames does. The command line keeps *.jpg.
std::vector<std::string> listPhotographNames(const std::filesystem::path& folder, bool regularFilesOnly);

// Decodes a JPEG or PNG photograph unchanged, in its stored orientation: grey as
// CV_8UC1, colour as BGR (CV_8UC3), with transparency as BGRA (CV_8UC4), 16-bit PNG
// as CV_16U. Refuses, before decoding, content that is neither, a size above the
// pixel limit (as the decoder itself reads it), and a JPEG whose image data stops
// early; while decoding, corrupt data and JPEGs of more than maxJpegScans scans.
// Throws std::runtime_error with a plain description of the problem. `orientation`,
// when given, receives the JPEG's EXIF orientation (1 to 8; 1 for PNG or none).
cv::Mat decodePhotograph(std::span<const std::uint8_t> bytes, const PhotographLimits& limits = {},
                         int* orientation = nullptr);

// The bytes of a photograph's file: a regular file (never a folder, a FIFO or a
// device) no larger than the limit. Throws std::runtime_error with the problem.
std::vector<std::uint8_t> readPhotographFile(const std::string& path, const PhotographLimits& limits = {});

// Reads a photograph's file and decodes it as above.
cv::Mat loadPhotograph(const std::string& path, const PhotographLimits& limits = {}, int* orientation = nullptr);

// The photograph as a three-channel BGR image: grey is spread to three channels,
// transparency dropped, and a BGR photograph returned as it is (sharing its pixels).
cv::Mat colourPhotograph(const cv::Mat& photograph);

// Encodes `image` as JPEG at quality 95, with `orientation` (2 to 8) as its EXIF
// orientation, and writes it to `path` through a temporary file in the same folder,
// so that a failed write never leaves a truncated image behind. Throws
// std::runtime_error naming the file and the problem.
void writeJpeg(const std::filesystem::path& path, const cv::Mat& image, int orientation = 1);

// The same for a lossless PNG.
void writePng(const std::filesystem::path& path, const cv::Mat& image);

}  // namespace corvale
