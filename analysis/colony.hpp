#pragma once
// One counted colony: where it is, how large, and how it was found. The count of a
// photograph is the number of its colonies, so every counted colony can be shown,
// checked and corrected.

#include <cstdint>
#include <optional>
#include <string_view>

#include <opencv2/core/types.hpp>

namespace corvale {

enum class ColonyKind {
  lone,       // a region of its own
  split,      // one of the colonies a clump of touching colonies was split into
  estimated,  // placed inside a confluent area that can only be counted by its area
};

std::string_view colonyKindName(ColonyKind kind);
std::optional<ColonyKind> colonyKindFromName(std::string_view name);

struct Colony {
  cv::Point2d centre;         // pixel coordinates of the photograph as stored
  double area = 0.0;          // pixels
  double radius = 0.0;        // pixels: the radius of a disc of the same area
  cv::Rect box;               // bounding box in pixels (x, y, width, height)
  ColonyKind kind = ColonyKind::lone;
  std::uint32_t region = 0;   // label of the region it was found in
};

// A colony found on a copy of a picture reduced by `scale`, in the picture's own
// coordinates.
Colony unreduced(Colony colony, double scale);

// How many of the colonies are estimates rather than located ones.
template <typename Colonies>
int countEstimated(const Colonies& colonies) {
  int estimated = 0;
  for (const Colony& colony : colonies) estimated += colony.kind == ColonyKind::estimated;
  return estimated;
}

}  // namespace corvale
