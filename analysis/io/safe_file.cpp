#include "analysis/io/safe_file.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>

namespace corvale {

void writeFileAtomically(const std::filesystem::path& path, std::span<const std::uint8_t> bytes) {
  std::filesystem::path temporary = path;
  temporary += ".partial";
  const auto fail = [&](int error) {
    std::remove(temporary.c_str());
    throw std::runtime_error(path.string() + ": cannot be written: " + std::strerror(error));
  };
  std::FILE* file = std::fopen(temporary.c_str(), "wb");
  if (file == nullptr) fail(errno);
  const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  const int writeError = errno;
  if (std::fclose(file) != 0) fail(errno);
  if (!written) fail(writeError);
  if (std::rename(temporary.c_str(), path.c_str()) != 0) fail(errno);
}

void writeFileAtomically(const std::filesystem::path& path, std::string_view text) {
  writeFileAtomically(path, std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

}  // namespace corvale
