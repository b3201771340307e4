#include "analysis/report/printable.hpp"

namespace corvale {

std::string escapeControlCharacters(std::string_view text) {
  static constexpr char hex[] = "0123456789abcdef";
  std::string shown;
  shown.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte == '\\') {
      shown += "\\\\";
    } else if (byte == '\n') {
      shown += "\\n";
    } else if (byte == '\r') {
      shown += "\\r";
    } else if (byte == '\t') {
      shown += "\\t";
    } else if (byte < 0x20 || byte == 0x7f) {
      shown += "\\x";
      shown += hex[byte >> 4];
      shown += hex[byte & 15];
    } else if (byte == 0xc2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
               static_cast<unsigned char>(text[i + 1]) <= 0x9f) {
      const auto control = static_cast<unsigned char>(text[++i]);
      shown += "\\u00";
      shown += hex[control >> 4];
      shown += hex[control & 15];
    } else {
      shown += static_cast<char>(byte);
    }
  }
  return shown;
}

}  // namespace corvale
