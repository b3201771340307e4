#pragma once
// The report of one photograph, as the results box and the command line show it.

#include <string>
#include <string_view>

#include "analysis/fixed/colony_statistics.hpp"

namespace corvale {

// The report lines, each ended by `lineEnd` ("\r\n" in the dialog, "\n" on the
// command line), after an empty first line:
//   Data Set: <path>
//   Percentage: 12.30 
//   Overall Area: 970.12 [mm2] 
//   Number of Colonies: 25 
//   Estimated number of yeasts: 31 
std::string formatReport(std::string_view imagePath, const ColonyStatistics& statistics,
                         std::string_view lineEnd);

// The report of a photograph that could not be analysed: one line naming the file
// and the problem, after the same empty first line.
std::string formatFailureReport(std::string_view imagePath, std::string_view problem,
                                std::string_view lineEnd);

}  // namespace corvale
