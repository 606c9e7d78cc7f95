#include "planning/candidate_order.h"

#include <algorithm>
#include <string>
#include <unordered_map>

#include "package/console.h"
#include "package/relations.h"

namespace {

// The candidates related to each one, in input order: those of its name, or of one of its
// members' names, or with a member of its name. Any other is unrelated and never compared,
// so a long list is filtered without comparing every pair.
class Relatives {
 public:
  explicit Relatives(const std::vector<const PackageInfo*>& candidates) {
    for (size_t i = 0; i < candidates.size(); ++i) {
      by_name_[candidates[i]->name].push_back(i);
      for (const auto& member : candidates[i]->members) by_member_[member->name].push_back(i);
    }
  }

  std::vector<size_t> of(const PackageInfo& x) const {
    std::vector<size_t> found;
    take(found, by_name_, x.name);
    take(found, by_member_, x.name);
    for (const auto& member : x.members) take(found, by_name_, member->name);
    std::sort(found.begin(), found.end());
    found.erase(std::unique(found.begin(), found.end()), found.end());
    return found;
  }

 private:
  using Map = std::unordered_map<std::string, std::vector<size_t>>;
  static void take(std::vector<size_t>& found, const Map& map, const std::string& name) {
    const auto it = map.find(name);
    if (it != map.end()) found.insert(found.end(), it->second.begin(), it->second.end());
  }
  Map by_name_, by_member_;
};

// Phase 1: whether X survives the comparison with every related candidate.
bool survives(Console& console, const std::vector<const PackageInfo*>& candidates,
              const std::vector<bool>& below_floor, const Relatives& relatives, size_t x,
              Version floor, bool report) {
  const PackageInfo& offered = *candidates[x];
  const bool reverse = floor != NO_FLOOR;
  for (const size_t y : relatives.of(offered)) {
    // A candidate below the floor takes no part: it would make every newer one drop too.
    if (y == x || below_floor[y]) continue;
    const PackageInfo& other = *candidates[y];
    const int order = compare_directed(other, offered, reverse);
    if (order > 0) {
      if (report) {
        console.warning(reverse ? "omitting package %s: older package is already provided"
                                : "omitting package %s: newer package is already provided",
                        display_name(offered).c_str());
      }
      return false;
    }
    if (order == 0 && (!offered.is_bundle || other.is_bundle)) return false;
  }
  return true;
}

}  // namespace

std::vector<size_t> order_candidates(Console& console,
                                     const std::vector<const PackageInfo*>& candidates,
                                     Version floor, bool report) {
  std::vector<bool> below_floor(candidates.size(), false);
  if (floor != NO_FLOOR) {
    for (size_t i = 0; i < candidates.size(); ++i) below_floor[i] = candidates[i]->version < floor;
  }
  const Relatives relatives(candidates);
  std::vector<size_t> kept;
  for (size_t x = 0; x < candidates.size(); ++x) {
    if (below_floor[x]) {
      console.warning("ommitting package %s: not allowed", display_name(*candidates[x]).c_str());
    } else if (survives(console, candidates, below_floor, relatives, x, floor, report)) {
      kept.push_back(x);
    }
  }

  // Phase 2: each after the last one placed so far that it needs or that excludes it.
  std::vector<size_t> ordered;
  for (const size_t x : kept) {
    size_t at = 0;
    for (size_t e = ordered.size(); e > 0; --e) {
      const PackageInfo& placed = *candidates[ordered[e - 1]];
      if (requires(*candidates[x], placed) || conflicts(placed, *candidates[x])) {
        at = e;
        break;
      }
    }
    ordered.insert(ordered.begin() + long(at), x);
  }
  return ordered;
}
