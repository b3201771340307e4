#pragma once
// The command line's machine-readable outputs: CSV and JSON summaries and the
// per-colony CSV. Numbers are written in full (round-trip) precision.

#include <ostream>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "analysis/dish_analysis.hpp"

namespace corvale {

// The text with every byte sequence that is not valid UTF-8 replaced by U+FFFD: a
// file name can hold any bytes, and the outputs must stay valid UTF-8.
std::string validUtf8(std::string_view text);

// One CSV field in valid UTF-8, quoted when it holds a comma, a quote or a line break.
std::string csvField(std::string_view text);

std::string summaryCsvHeader();
// One summary row (with its line end); the numbers are empty where not measured, and
// correctedCount (last) is empty unless a review's corrections were applied.
std::string summaryCsvRow(const DishAnalysis& analysis);

std::string coloniesCsvHeader();
// One row per colony the analysis counted; with corrections applied, the last column
// says "removed", "excluded" or "outside dish" for those that no longer count, and
// each added colony follows as a row of kind "added" (label 0).
std::string coloniesCsvRows(const DishAnalysis& analysis);

nlohmann::json toJson(const DishAnalysis& analysis);

// Serialises JSON; bytes that are not valid UTF-8 (a file name can hold anything)
// are replaced rather than making the output invalid.
std::string dumpJson(const nlohmann::json& value);

}  // namespace corvale
