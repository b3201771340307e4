#pragma once
// The analysis of one photograph, from its file to the statistics and the three
// output images. Shared by the dialog and the command line.

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "analysis/fixed/colony_statistics.hpp"
#include "analysis/fixed/dish_bounds.hpp"
#include "analysis/io/image_files.hpp"
#include "analysis/settings.hpp"
#include "blobs/blob.hpp"
#include "blobs/labeling.hpp"

namespace corvale {

// Where the three images of a run go: <folder>/<prefix>threshold.jpg,
// <prefix>centroid.jpg and <prefix>bb.jpg.
struct ImageOutputs {
  bool write = true;
  std::filesystem::path folder = ".";
  std::string prefix;
};

// Memory a run works in, kept between runs so that a batch reuses it. One block
// serves first as the thresholded photograph and then, once that is written and its
// first channel copied out, as the label image: the two are never needed at once,
// and sharing them keeps a 12-megapixel run well under 200 MB.
struct AnalysisBuffers {
  cv::Mat workspace;
  cv::Mat channelImage;
};

struct DishAnalysis {
  std::string imagePath;
  std::optional<std::string> error;             // why the photograph failed, if it did
  std::optional<std::int32_t> backgroundLevel;  // set once measured
  std::optional<DishBounds> dishBounds;         // set once found
  std::optional<ColonyStatistics> statistics;   // set once computed
  std::vector<Blob> colonies;                   // copies of the counted colonies' records
  std::vector<std::string> flags;               // why the count may not be reliable (adaptive method)
  cv::Mat annotatedImage;                       // the photograph with crosses and boxes

  bool ok() const { return !error.has_value(); }
};

// Loads the photograph unchanged, finds the dish, thresholds the photograph (every
// channel above 100 becomes 200, the rest 0) and writes it as threshold.jpg, labels
// channel 0 (blue), keeps the blobs in the colony size range that lie wholly inside
// the dish less its lip, computes the statistics, then draws a cross on every colony
// (centroid.jpg) and adds its bounding box (bb.jpg).
//
// A photograph that cannot be analysed (unreadable, truncated, above the pixel limit,
// smaller than 20 x 20, not 8 bits per channel, no dish found, a dish without area) or
// whose images cannot be written gets `error`; everything measured before the failure
// stays in the result. Grey and four-channel photographs are analysed as they are;
// their annotations are drawn on a colour copy.
DishAnalysis analyseDish(const std::string& imagePath, const AnalysisSettings& settings,
                         const ImageOutputs& outputs, AnalysisBuffers& buffers,
                         const PhotographLimits& limits = {});

DishAnalysis analyseDish(const std::string& imagePath, const AnalysisSettings& settings,
                         const ImageOutputs& outputs);

// The same analysis of a photograph already in memory; `imagePath` only names it.
// The photograph itself is left unchanged: the annotations go onto a copy.
DishAnalysis analysePhotograph(const cv::Mat& photograph, const std::string& imagePath,
                               const AnalysisSettings& settings, const ImageOutputs& outputs,
                               AnalysisBuffers& buffers);

// The adaptive method (see adaptive_analysis.hpp) on the photograph at `imagePath`, with
// the same report fields: the colony count with touching colonies split, the share and
// area of the dish they cover (the dish's real diameter from `settings`; the size range
// of the settings is not used, the plate gives its own), and as the estimate the covered
// area over the typical colony's. Plates it cannot count reliably are flagged. With
// `debugFolder`, every stage is written there as <stem>.<n>-<stage> images.
DishAnalysis analyseDishAdaptive(const std::string& imagePath, const AnalysisSettings& settings,
                                 const ImageOutputs& outputs, const PhotographLimits& limits = {},
                                 const std::filesystem::path& debugFolder = {});

// The result's report: the statistics, or the one-line failure. Flags follow the
// statistics, one "Warning:" line each.
std::string formatReport(const DishAnalysis& analysis, std::string_view lineEnd);

}  // namespace corvale
