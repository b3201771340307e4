#pragma once
// Analysing many photographs in parallel, reporting them in input order.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "analysis/dish_analysis.hpp"
#include "analysis/image_outputs.hpp"
#include "analysis/settings.hpp"
#include "cli/batch_options.hpp"

namespace corvale {

// One photograph to analyse, or an input that already failed (a folder that cannot
// be read, a path that cannot be looked up).
struct BatchItem {
  std::string imagePath;
  std::string imagePrefix;  // put before threshold.jpg, centroid.jpg and bb.jpg
  std::string stagePrefix;  // put before the adaptive method's stage image names
  std::string failure;      // not empty when the input failed before any analysis
};


// True for the names Corvale gives its own images: threshold.jpg, centroid.jpg,
// bb.jpg and the adaptive method's stage images (1-dish.jpg to 5-colonies.jpg), alone
// or after a prefix ending in "." ("plate.bb.jpg", "plate-2.4-mask.png").
bool isOwnImageName(std::string_view name);

// Expands the command line's paths: a folder gives its *.jpg regular files in the
// folder listing's order, joined to the folder with "/", leaving out Corvale's own
// images (see isOwnImageName) so that a second run does not analyse the first one's
// output; anything else is taken as a photograph, whatever its name. A path that
// cannot be looked up for a reason other than its absence (too long, a loop of
// symbolic links) fails with that reason in words.
std::vector<BatchItem> collectBatch(const std::vector<std::string>& paths);

// Chooses every item's image and stage prefixes. One photograph alone writes the
// plain names (threshold.jpg and so on); several write "<stem>.threshold.jpg". Stage
// images are always "<stem>.<n>-<stage>.jpg". Where a name is already taken by an
// earlier photograph's output, or would replace a photograph of the run (the same
// folder entry, or the same file by device and inode), the prefix becomes "<stem>-2.",
// "<stem>-3." and so on, until every name of that photograph is free. One photograph
// whose plain names are taken gets "<stem>." instead.
void assignOutputNames(std::vector<BatchItem>& items, const BatchOptions& options);

// True when `path` is one of the items' photographs: the same folder entry however
// spelt, or the same file by device and inode.
bool isPhotographOfRun(const std::vector<BatchItem>& items, const std::filesystem::path& path);

// A photograph's estimated working memory from its header (pixels times the bytes
// an analysis with its images needs per pixel); `limits.maxPixels` worth when the
// header cannot be read, so that an unknown file never runs beside a large one;
// 0 for what is not a regular file or cannot be opened (its analysis fails at once).
std::uint64_t estimatedWorkingBytes(const std::string& path, const PhotographLimits& limits);

// Analyses every item with up to `options.jobs` workers and writes its images.
// `report` is called on the calling thread once for each item, in input order, as
// soon as that item and all before it are done; the order does not depend on the
// number of workers.
void runBatch(const std::vector<BatchItem>& items, const BatchOptions& options,
              const std::function<void(std::size_t index, const DishAnalysis&)>& report);

}  // namespace corvale
