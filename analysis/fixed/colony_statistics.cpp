#include "analysis/fixed/colony_statistics.hpp"

#include <algorithm>
#include <vector>

namespace corvale {

double dishAreaPixels(std::int32_t dishWidth, std::int32_t dishHeight) {
  const std::int64_t margin = dishWidth / 100;
  return static_cast<double>(dishWidth - margin) * 3.14159 * static_cast<double>(dishHeight - margin) * 0.25;
}

ColonyStatistics computeColonyStatistics(const BlobTable& blobs, std::int32_t dishDiameterMm,
                                         std::int32_t dishWidth, std::int32_t dishHeight) {
  ColonyStatistics statistics;
  const auto n = static_cast<std::int64_t>(blobs.size());
  statistics.colonyCount = static_cast<std::int32_t>(n);
  const double dishPixels = dishAreaPixels(dishWidth, dishHeight);
  if (n == 0 || !(dishPixels > 0.0)) return statistics;

  // Areas are summed in 64 bits: a 32-bit sum, and 100 times it, would overflow
  // for colonies covering more than about 21 million pixels.
  std::vector<std::int64_t> areas;
  areas.reserve(blobs.size());
  std::int64_t sum = 0;
  for (const auto& entry : blobs) {
    areas.push_back(entry.second->area);
    sum += entry.second->area;
  }
  std::sort(areas.begin(), areas.end());

  const double dishMm2 = 3.14159 * static_cast<double>(dishDiameterMm) * static_cast<double>(dishDiameterMm) * 0.25;
  statistics.percentage = static_cast<double>(100 * sum) / dishPixels;
  statistics.colonyAreaMm2 = static_cast<double>(sum) * dishMm2 / dishPixels;
  statistics.medianColonyAreaMm2 = dishMm2 * static_cast<double>(areas[n / 2]) / dishPixels;
  const auto typical = static_cast<std::int64_t>(static_cast<double>(n / 2) * 0.6);
  statistics.estimatedYeasts = static_cast<std::int32_t>(sum / areas[typical]);
  return statistics;
}

}  // namespace corvale
