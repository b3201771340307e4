#pragma once
// The SHA-256 digest of a photograph's bytes, which names the photograph whatever
// its file is called.

#include <cstdint>
#include <span>
#include <string>

namespace corvale {

// Lower-case hexadecimal, 64 characters.
std::string sha256Hex(std::span<const std::uint8_t> bytes);

}  // namespace corvale
