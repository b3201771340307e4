#pragma once
// Disjoint sets held as a parent per item: an item is the root of its set where it is
// its own parent.

#include <cstdint>
#include <vector>

namespace corvale {

// The root of `item`'s set, halving the path to it on the way.
inline std::int32_t rootOf(std::vector<std::int32_t>& parent, std::int32_t item) {
  while (parent[static_cast<std::size_t>(item)] != item) {
    auto& up = parent[static_cast<std::size_t>(item)];
    up = parent[static_cast<std::size_t>(up)];
    item = up;
  }
  return item;
}

}  // namespace corvale
