#include "analysis/io/sha256.hpp"

#include <stdexcept>

#include <openssl/evp.h>

namespace corvale {

std::string sha256Hex(std::span<const std::uint8_t> bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr) != 1)
    throw std::runtime_error("the SHA-256 digest cannot be computed");
  static constexpr char hex[] = "0123456789abcdef";
  std::string text;
  text.reserve(2 * length);
  for (unsigned int i = 0; i < length; ++i) text.append({hex[digest[i] >> 4], hex[digest[i] & 15]});
  return text;
}

}  // namespace corvale
