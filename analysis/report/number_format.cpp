#include "analysis/report/number_format.hpp"

#include <charconv>
#include <system_error>

namespace corvale {
namespace {

template <typename... Format>
std::string toChars(double value, Format... format) {
  char buffer[400];  // wide enough for any double in fixed notation
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, format...);
  if (result.ec != std::errc()) return "nan";
  return std::string(buffer, result.ptr);
}

}  // namespace

std::string formatFixed(double value, int decimals) {
  return toChars(value, std::chars_format::fixed, decimals);
}

std::string formatRoundTrip(double value) { return toChars(value); }

}  // namespace corvale
