// The lookups one plan of scheduled actions makes, indexed once. Planning changes only the
// actions of records, never the records of the Repository or their names, versions and
// lists, so positions in `packages` stand for the records throughout, and what depends on
// those fields alone (who provides what, which provider a dependency takes) is worked out
// once however often it is asked.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "package/package.h"

class Console;
class Repository;

class PlanIndex {
 public:
  using Positions = std::vector<size_t>;

  // `console` is only for candidate ordering, which prints nothing without a floor.
  PlanIndex(const Repository& repository, Console& console);

  // Ascending positions of the records with that own name; that have it or provide it;
  // that provide it; that have a conflicts entry of that name; that came from that bundle.
  const Positions& named(const std::string& name) const { return at(by_name_, name); }
  const Positions& named_or_providing(const std::string& name) const {
    return at(by_name_or_provide_, name);
  }
  const Positions& providing(const std::string& name) const { return at(by_provide_, name); }
  const Positions& excluding_name(const std::string& name) const { return at(by_conflict_, name); }
  const Positions& members_of(const std::string& bundle) const { return at(by_bundle_, bundle); }

  // A number for each distinct dependency (name and bounds): the same number, the same
  // providers.
  size_t dependency_id(const Dependency& wanted);
  // The records that meet the dependency, placeholders left out, disabled ones kept.
  const Positions& providers(size_t id) const { return providers_[id]; }
  // Of those, the one to keep active: the last in install order of the preferred ones;
  // false when none is left.
  bool chosen_provider(size_t id, size_t& position);

 private:
  using Map = std::unordered_map<std::string, Positions>;
  static const Positions& at(const Map& map, const std::string& name);
  static void add(Map& map, const std::string& name, size_t position);

  const Repository& repository_;
  Console& console_;
  Map by_name_, by_name_or_provide_, by_provide_, by_conflict_, by_bundle_;
  std::map<std::tuple<std::string, Version, Version>, size_t> ids_;
  std::vector<Positions> providers_;
  std::vector<int> chosen_;  // -2 not worked out yet, -1 none, else a position
};
