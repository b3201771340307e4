#include "analysis/adaptive/region_colonies.hpp"

#include <cmath>

namespace corvale {

void appendRegionColonies(const MaskRegion& region, const std::vector<const MaskPeak*>& hills, std::uint32_t label,
                          std::vector<Colony>& colonies) {
  const bool lone = hills.size() == 1;
  for (const MaskPeak* hill : hills) {
    Colony colony;
    colony.centre = lone ? region.centroid : cv::Point2d(hill->at);
    colony.area = lone ? static_cast<double>(region.area) : static_cast<double>(hill->area);
    colony.radius = std::sqrt(colony.area / CV_PI);
    colony.box = region.box;
    colony.kind = lone ? ColonyKind::lone : ColonyKind::split;
    colony.region = label;
    colonies.push_back(colony);
  }
}

}  // namespace corvale
