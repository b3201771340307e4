#pragma once
// The agar's lightness under the colonies, and how much it varies on its own.

#include <opencv2/core.hpp>

namespace corvale {

struct AgarModel {
  cv::Mat fromLevel;        // CV_16S: the contrast (the lightness less the agar's) less its level, at each pixel
  cv::Mat background;       // CV_8U: the agar's estimated lightness
  double lightness = 0.0;   // the agar's median lightness
  double level = 0.0;       // the contrast's most common value inside the dish
  double noise = 0.0;       // robust spread of the agar's contrast
};

// Estimates the agar under colonies lighter than it from `lightness` (CV_8U; for dark
// colonies, the lightness inverted) inside `dish` (CV_8U), a dish of `dishDiameter`
// pixels across, on a copy reduced to a couple of hundred pixels: an opening a fifth
// of the dish wide gives a first guess; then, twice, whatever stands out from it
// either way is left out and the rest smoothed over a tenth of the dish. Colonies of
// any size are left out as long as they stand out, so they do not lift the agar
// under them; shading broader than a tenth of the dish is followed.
// The noise is the narrower side of the contrast's peak: colonies widen only the
// side of their own polarity.
AgarModel estimateAgar(const cv::Mat& lightness, const cv::Mat& dish, double dishDiameter);

}  // namespace corvale
