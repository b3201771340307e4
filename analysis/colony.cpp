#include "analysis/colony.hpp"

namespace corvale {

std::string_view colonyKindName(ColonyKind kind) {
  switch (kind) {
    case ColonyKind::lone: return "lone";
    case ColonyKind::split: return "split";
    case ColonyKind::estimated: return "estimated";
  }
  return "lone";
}

std::optional<ColonyKind> colonyKindFromName(std::string_view name) {
  for (const ColonyKind kind : {ColonyKind::lone, ColonyKind::split, ColonyKind::estimated})
    if (colonyKindName(kind) == name) return kind;
  return std::nullopt;
}

}  // namespace corvale
