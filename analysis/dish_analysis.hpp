#pragma once
// The analysis of one photograph with either counting method: one entry point for
// the dialog and the command line. Analysing writes nothing; the images are written
// afterwards from the result (see image_outputs.hpp).

#include <optional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "analysis/adaptive/adaptive_analysis.hpp"
#include "analysis/colony.hpp"
#include "analysis/counting_method.hpp"
#include "analysis/fixed/colony_statistics.hpp"
#include "analysis/fixed/dish_bounds.hpp"
#include "analysis/io/image_files.hpp"
#include "analysis/review/corrections.hpp"
#include "analysis/settings.hpp"

namespace corvale {

// What the adaptive method measures of a plate in place of the fixed method's
// background level and scanned dish bounds.
struct AdaptiveMeasures {
  cv::Point2d dishCentre;          // pixels
  double dishRadius = 0.0;         // pixels
  double usableRadius = 0.0;       // the part of the dish counted, pixels
  double agarLightness = 0.0;      // Lab lightness of the agar, 0 to 255
  double noise = 0.0;              // the agar's noise, same units
  double typicalColonyArea = 0.0;  // pixels of a typical single colony
  ColonyPolarity polarity = ColonyPolarity::light;  // whether colonies are lighter or darker than the agar
};

struct DishAnalysis {
  std::string imagePath;
  CountingMethod method = CountingMethod::fixed;
  AnalysisSettings settings;                     // as given; the adaptive method uses only the diameter
  std::string sha256;                            // of the photograph's bytes, once read
  int orientation = 1;                           // EXIF orientation of the photograph, kept in its images
  std::optional<std::string> error;              // the photograph could not be analysed: no numbers
  std::optional<std::string> outputError;        // the numbers stand, but an image could not be written
  std::optional<std::int32_t> backgroundLevel;   // fixed method, once measured
  std::optional<DishBounds> dishBounds;          // fixed method, once found
  std::optional<AdaptiveMeasures> adaptive;      // adaptive method
  std::optional<ColonyStatistics> statistics;    // colonyCount == colonies.size()
  std::vector<Colony> colonies;                  // every counted colony
  std::vector<std::string> flags;                // why the count may not be reliable
  std::optional<AppliedCorrections> corrections; // a person's review, when one was applied

  cv::Mat photograph;                    // as decoded, for writing the images
  std::optional<AdaptiveStages> stages;  // adaptive method, when kept
  cv::Mat annotatedImage;                // crosses and boxes, once drawn

  bool ok() const { return !error.has_value(); }
  // Frees the images kept for writing and showing; the numbers and colonies stay.
  void releaseImages() {
    photograph.release();
    stages.reset();
    annotatedImage.release();
  }
  int estimatedColonies() const { return countEstimated(colonies); }
};

// Memory the fixed method works in, kept between runs so that a batch reuses it.
// One block serves first as the thresholded photograph and then as the label image.
struct AnalysisBuffers {
  cv::Mat workspace;
  cv::Mat channelImage;
};

struct RunOptions {
  PhotographLimits limits;
  bool keepStages = true;  // adaptive method: keep its stage images (needed to write any image)
};

// Reads, decodes and analyses the photograph at `imagePath`. Never throws: a
// photograph that cannot be read or analysed gets `error`, with what was measured
// before the failure kept.
DishAnalysis analysePhotographFile(const std::string& imagePath, CountingMethod method,
                                   const AnalysisSettings& settings, const RunOptions& options = {},
                                   AnalysisBuffers* buffers = nullptr);

// The same on a photograph already in memory; `imagePath` only names it.
DishAnalysis analysePhotograph(const cv::Mat& photograph, const std::string& imagePath, CountingMethod method,
                               const AnalysisSettings& settings, const RunOptions& options = {},
                               AnalysisBuffers* buffers = nullptr);

// The result's report: the statistics, then one "Warning:" line per flag and for
// the estimated colonies, a "Corrected count:" line when a review's corrections were
// applied, and one "Error:" line when an image could not be written; or the one-line
// failure.
std::string formatReport(const DishAnalysis& analysis, std::string_view lineEnd);

}  // namespace corvale
