// Choosing among related candidates and ordering the rest: of each group of candidates for
// the same place (two files of one package, a bundle and a copy of one of its members,
// providers of one capability, packages to enable) only the preferred one is kept, and the
// survivors are put after the candidates they need and after those that exclude them.
#pragma once

#include <cstddef>
#include <vector>

#include "package/package.h"

class Console;

constexpr Version NO_FLOOR = 0xFFFFFFFF;

// The positions in `candidates` of the survivors, in install order. With a `floor` other
// than NO_FLOOR older candidates are preferred, and those below the floor are dropped with
// "ommitting package %s: not allowed" whatever `report` says; `report` adds the warnings
// about candidates dropped for a preferred related one. Two related candidates of equal
// version and build time drop each other, except that a bundle outlives a plain package.
std::vector<size_t> order_candidates(Console& console,
                                     const std::vector<const PackageInfo*>& candidates,
                                     Version floor, bool report);

// Rewrites `candidates` (references; no record is changed or destroyed) to the survivors of
// order_candidates, in install order.
template <class Record>
void filter_and_order(Console& console, std::vector<Record*>& candidates, Version floor,
                      bool report) {
  const std::vector<const PackageInfo*> infos(candidates.begin(), candidates.end());
  std::vector<Record*> ordered;
  for (const size_t position : order_candidates(console, infos, floor, report)) {
    ordered.push_back(candidates[position]);
  }
  candidates = std::move(ordered);
}
