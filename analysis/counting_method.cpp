#include "analysis/counting_method.hpp"

namespace corvale {

std::string_view countingMethodName(CountingMethod method) {
  return method == CountingMethod::adaptive ? "adaptive" : "fixed";
}

std::optional<CountingMethod> countingMethodFromName(std::string_view name) {
  if (name == "fixed") return CountingMethod::fixed;
  if (name == "adaptive") return CountingMethod::adaptive;
  return std::nullopt;
}

}  // namespace corvale
