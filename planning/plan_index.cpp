#include "planning/plan_index.h"

#include "package/relations.h"
#include "package/repository.h"
#include "planning/candidate_order.h"

PlanIndex::PlanIndex(const Repository& repository, Console& console)
    : repository_(repository), console_(console) {
  const auto& packages = repository.packages();
  for (size_t i = 0; i < packages.size(); ++i) {
    const Package& package = *packages[i];
    add(by_name_, package.name, i);
    add(by_name_or_provide_, package.name, i);
    for (const Dependency& provided : package.provides) {
      add(by_provide_, provided.name, i);
      add(by_name_or_provide_, provided.name, i);
    }
    for (const Dependency& excluded : package.conflicts) add(by_conflict_, excluded.name, i);
    add(by_bundle_, package.bundle.name, i);
  }
}

const PlanIndex::Positions& PlanIndex::at(const Map& map, const std::string& name) {
  static const Positions none;
  const auto found = map.find(name);
  return found == map.end() ? none : found->second;
}

// Positions ascend because records are added in order; a record that both has a name and
// provides it is listed once.
void PlanIndex::add(Map& map, const std::string& name, size_t position) {
  Positions& positions = map[name];
  if (positions.empty() || positions.back() != position) positions.push_back(position);
}

size_t PlanIndex::dependency_id(const Dependency& wanted) {
  const auto key = std::make_tuple(wanted.name, wanted.min, wanted.max);
  const auto found = ids_.find(key);
  if (found != ids_.end()) return found->second;
  Positions meeting;
  for (const size_t position : named_or_providing(wanted.name)) {
    const Package& package = *repository_.packages()[position];
    if (!is_placeholder(package) && meets(package, wanted)) meeting.push_back(position);
  }
  providers_.push_back(std::move(meeting));
  chosen_.push_back(-2);
  ids_.emplace(key, providers_.size() - 1);
  return providers_.size() - 1;
}

bool PlanIndex::chosen_provider(size_t id, size_t& position) {
  if (chosen_[id] == -2) {
    std::vector<const PackageInfo*> candidates;
    for (const size_t provider : providers_[id]) {
      candidates.push_back(repository_.packages()[provider].get());
    }
    const std::vector<size_t> ordered = order_candidates(console_, candidates, NO_FLOOR, false);
    chosen_[id] = ordered.empty() ? -1 : int(providers_[id][ordered.back()]);
  }
  if (chosen_[id] < 0) return false;
  position = size_t(chosen_[id]);
  return true;
}
