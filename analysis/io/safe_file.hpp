#pragma once
// Writing a file so that readers never see it half-written: the bytes go to a
// temporary file in the same folder, which then replaces the target in one rename.

#include <cstdint>
#include <filesystem>
#include <span>
#include <string_view>

namespace corvale {

// Writes `bytes` to `path` through a temporary file in the same folder. Throws
// std::runtime_error naming the file and the problem; on failure the temporary file
// is removed and `path` is left as it was.
void writeFileAtomically(const std::filesystem::path& path, std::span<const std::uint8_t> bytes);
void writeFileAtomically(const std::filesystem::path& path, std::string_view text);

}  // namespace corvale
