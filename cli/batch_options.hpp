#pragma once
// How a batch of photographs is analysed and where its outputs go.

#include <cstdint>
#include <filesystem>

#include "analysis/counting_method.hpp"
#include "analysis/io/photograph_limits.hpp"
#include "analysis/settings.hpp"

namespace corvale {

struct BatchOptions {
  AnalysisSettings settings;
  PhotographLimits limits;
  CountingMethod method = CountingMethod::fixed;  // the command line defaults to adaptive itself
  std::filesystem::path debugFolder;  // adaptive method: where its stage images go, if anywhere
  bool writeImages = true;
  std::filesystem::path outputFolder = ".";
  std::filesystem::path correctionsFolder;  // where reviews' corrections files are looked up, if anywhere
  unsigned jobs = 1;
  // Photographs are started only while their estimated working memory together
  // stays within this many bytes (one photograph always runs); 0: no limit.
  std::uint64_t memoryBudget = 0;
};

}  // namespace corvale
