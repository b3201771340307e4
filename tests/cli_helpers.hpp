#pragma once
// Running corvale-cli as a user does, and the plates its tests analyse.

#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include "temporary_folder.hpp"

namespace corvale::testing {

struct CliRun {
  int status = -1;  // the exit status; -1 when ended by a signal
  std::string out;
  std::string err;
};

inline std::string quoted(const std::string& text) {
  std::string result = "'";
  for (char c : text) result += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return result + "'";
}

inline std::string readFile(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

inline void writeFile(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                              static_cast<std::streamsize>(bytes.size()));
}

// Runs corvale-cli with the arguments in `folder` as working directory.
inline CliRun runCli(const TemporaryFolder& folder, const std::string& arguments, const std::string& redirect = "") {
  const std::filesystem::path errFile = folder.path() / "stderr.txt";
  const std::string command = "cd " + quoted(folder.path().string()) + " && " + quoted(CORVALE_CLI) + " " +
                              arguments + " 2>" + quoted(errFile.string()) + redirect;
  CliRun run;
  FILE* pipe = popen(command.c_str(), "r");
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) run.out.append(buffer, n);
  const int status = pclose(pipe);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.err = readFile(errFile);
  std::filesystem::remove(errFile);
  return run;
}

// A plate like the analysis tests', with `colonies` 20 x 20 colonies in a row.
inline cv::Mat plate(int colonies) {
  cv::Mat photo(400, 400, CV_8UC3, cv::Scalar(30, 30, 30));
  photo(cv::Rect(50, 50, 300, 300)).setTo(cv::Scalar(40, 60, 160));
  for (int i = 0; i < colonies; ++i) photo(cv::Rect(110 + 30 * i, 190, 20, 20 + i)).setTo(cv::Scalar::all(230));
  return photo;
}

// A plate saved as PNG content (exact pixels; the loader goes by content) under `path`.
inline void writePlate(const std::filesystem::path& path, int colonies) {
  std::vector<std::uint8_t> png;
  cv::imencode(".png", plate(colonies), png);
  writeFile(path, png);
}

}  // namespace corvale::testing
