#include "analysis/report/text_report.hpp"

#include "analysis/report/number_format.hpp"

namespace corvale {

std::string formatReport(std::string_view imagePath, const ColonyStatistics& statistics,
                         std::string_view lineEnd) {
  std::string report;
  report.append(lineEnd).append("Data Set: ").append(imagePath);
  report.append(lineEnd).append("Percentage: ").append(formatFixed(statistics.percentage, 2)).append(" ").append(lineEnd);
  report.append("Overall Area: ").append(formatFixed(statistics.colonyAreaMm2, 2)).append(" [mm2] ").append(lineEnd);
  report.append("Number of Colonies: ").append(std::to_string(statistics.colonyCount)).append(" ").append(lineEnd);
  report.append("Estimated number of yeasts: ").append(std::to_string(statistics.estimatedYeasts)).append(" ").append(lineEnd);
  return report;
}

std::string formatFailureReport(std::string_view imagePath, std::string_view problem,
                                std::string_view lineEnd) {
  std::string report;
  report.append(lineEnd).append("Error: ").append(imagePath).append(": ").append(problem).append(lineEnd);
  return report;
}

}  // namespace corvale
