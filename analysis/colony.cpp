#include "analysis/colony.hpp"

#include <cmath>

namespace corvale {

std::string_view colonyKindName(ColonyKind kind) {
  switch (kind) {
    case ColonyKind::lone: return "lone";
    case ColonyKind::split: return "split";
    case ColonyKind::estimated: return "estimated";
  }
  return "lone";
}

Colony unreduced(Colony colony, double scale) {
  colony.centre = (colony.centre + cv::Point2d(0.5, 0.5)) / scale - cv::Point2d(0.5, 0.5);
  colony.area /= scale * scale;
  colony.radius /= scale;
  colony.box = cv::Rect(cv::Point(static_cast<int>(colony.box.x / scale), static_cast<int>(colony.box.y / scale)),
                        cv::Point(static_cast<int>(std::ceil(colony.box.br().x / scale)),
                                  static_cast<int>(std::ceil(colony.box.br().y / scale))));
  return colony;
}

std::optional<ColonyKind> colonyKindFromName(std::string_view name) {
  for (const ColonyKind kind : {ColonyKind::lone, ColonyKind::split, ColonyKind::estimated})
    if (colonyKindName(kind) == name) return kind;
  return std::nullopt;
}

}  // namespace corvale
