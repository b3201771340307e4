#pragma once
// Analysing many photographs in parallel, reporting them in input order.

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "analysis/dish_analysis.hpp"
#include "analysis/image_outputs.hpp"
#include "analysis/settings.hpp"

namespace corvale {

// One photograph to analyse, or an input that already failed (a folder that cannot
// be read, a path that does not exist).
struct BatchItem {
  std::string imagePath;
  std::string imagePrefix;  // put before threshold.jpg, centroid.jpg and bb.jpg
  std::string failure;      // not empty when the input failed before any analysis
};

struct BatchOptions {
  AnalysisSettings settings;
  PhotographLimits limits;
  CountingMethod method = CountingMethod::fixed;
  std::filesystem::path debugFolder;  // adaptive method: where its stage images go, if anywhere
  bool writeImages = true;
  std::filesystem::path outputFolder = ".";
  std::filesystem::path correctionsFolder;  // where reviews' corrections files are looked up, if anywhere
  unsigned jobs = 1;
};

// Expands the command line's paths: a folder gives its *.jpg regular files in the
// folder listing's order, joined to the folder with "/"; anything else is taken as a
// photograph. With more than one photograph, each gets the prefix "<stem>." for its
// images (and "<stem>-2." and so on where stems repeat), so that none overwrites another.
std::vector<BatchItem> collectBatch(const std::vector<std::string>& paths);

// Analyses every item with `options.jobs` workers and writes its images. `report` is called on the calling
// thread once for each item, in input order, as soon as that item and all before it
// are done; the order does not depend on the number of workers.
void runBatch(const std::vector<BatchItem>& items, const BatchOptions& options,
              const std::function<void(std::size_t index, const DishAnalysis&)>& report);

}  // namespace corvale
