#include "planning/candidate_order.h"

#include "package/relations.h"
#include "package/repository.h"

namespace {

bool related(const PackageInfo& x, const PackageInfo& y) {
  return contains_name(x, y.name) || contains_name(y, x.name);
}

// Phase 1: whether X survives the comparison with every related candidate.
bool survives(Repository& repository, const std::vector<const PackageInfo*>& candidates,
              const std::vector<bool>& below_floor, size_t x, Version floor, bool report) {
  const PackageInfo& offered = *candidates[x];
  const bool reverse = floor != NO_FLOOR;
  for (size_t y = 0; y < candidates.size(); ++y) {
    // A candidate below the floor takes no part: it would make every newer one drop too.
    if (y == x || below_floor[y] || !related(offered, *candidates[y])) continue;
    const PackageInfo& other = *candidates[y];
    const int order = compare_directed(other, offered, reverse);
    if (order > 0) {
      if (report) {
        repository.warning(reverse ? "omitting package %s: older package is already provided"
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

std::vector<size_t> order_candidates(Repository& repository,
                                     const std::vector<const PackageInfo*>& candidates,
                                     Version floor, bool report) {
  std::vector<bool> below_floor(candidates.size(), false);
  if (floor != NO_FLOOR) {
    for (size_t i = 0; i < candidates.size(); ++i) below_floor[i] = candidates[i]->version < floor;
  }
  std::vector<size_t> kept;
  for (size_t x = 0; x < candidates.size(); ++x) {
    if (below_floor[x]) {
      repository.warning("ommitting package %s: not allowed", display_name(*candidates[x]).c_str());
    } else if (survives(repository, candidates, below_floor, x, floor, report)) {
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
