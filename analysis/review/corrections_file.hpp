#pragma once
// The corrections of one photograph kept in a small JSON file, named by the SHA-256
// of the photograph's bytes: <results folder>/corrections/<sha256>.json. A renamed
// photograph keeps its corrections; an edited one (other bytes) starts afresh.
//
//   {
//     "format": 1,
//     "sha256": "<64 hex digits>",
//     "imageName": "plate.jpg",                     // the file name when saved
//     "method": "fixed",                            // or "adaptive"
//     "settings": {"minColonyArea": 400, "maxColonyArea": 3000, "dishLip": 5, "dishDiameterMm": 100},
//     "removed": [[x, y], ...],                     // centres of removed colonies
//     "added": [{"x": x, "y": y, "radius": r}, ...],
//     "excluded": [[[x, y], [x, y], [x, y], ...], ...],  // polygons
//     "dish": {"x": x, "y": y, "radius": r}         // or null: as found
//   }
//
// Coordinates are pixels of the photograph as stored, x to the right, y down.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "analysis/counting_method.hpp"
#include "analysis/review/corrections.hpp"
#include "analysis/settings.hpp"

namespace corvale {

inline constexpr int correctionsFormatVersion = 1;

struct CorrectionsFile {
  std::string sha256;
  std::string imageName;
  CountingMethod method = CountingMethod::fixed;
  AnalysisSettings settings;
  Corrections corrections;
};

// <results folder>/corrections
std::filesystem::path correctionsFolder(const std::filesystem::path& resultsFolder);
// <folder>/<sha256>.json. Throws std::invalid_argument unless `sha256` is 64 hex digits.
std::filesystem::path correctionsFilePath(const std::filesystem::path& folder, std::string_view sha256);

nlohmann::json correctionsToJson(const CorrectionsFile& file);
// Throws std::runtime_error describing what is missing or malformed.
CorrectionsFile correctionsFromJson(const nlohmann::json& json);

// Writes the file into `folder` (created when missing) through a temporary file and
// a rename. Throws std::runtime_error naming the file and the problem.
void saveCorrections(const std::filesystem::path& folder, const CorrectionsFile& file);

// The file kept for the photograph with this SHA-256, or nothing when there is none.
// Throws std::runtime_error when it exists but cannot be read or is malformed, or
// when its own sha256 is another photograph's.
std::optional<CorrectionsFile> loadCorrections(const std::filesystem::path& folder, std::string_view sha256);

// True when the corrections were made on an analysis with this method and settings
// (the adaptive method uses none of them to find colonies): only then do the removed
// colonies name colonies of that analysis.
bool madeFor(const CorrectionsFile& file, CountingMethod method, const AnalysisSettings& settings);

struct DishAnalysis;

// Looks up the corrections of an analysed photograph in `folder` and applies them
// (`analysis.corrections`). A missing file leaves the analysis as it is; a file made
// for another method or settings, or one that cannot be read, is not applied and
// adds a flag saying so. Does nothing for a failed analysis.
void applyCorrectionsFrom(const std::filesystem::path& folder, DishAnalysis& analysis);

}  // namespace corvale
