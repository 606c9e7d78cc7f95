#include "planning/schedule_plan.h"

#include <algorithm>
#include <queue>
#include <string>
#include <unordered_map>

#include "package/relations.h"
#include "package/repository.h"
#include "planning/candidate_order.h"

namespace {

// Planning only changes actions, so positions in `packages` stand for the records
// throughout, and the lookups of a plan can be indexed once: a database of thousands of
// records with long dependency chains is planned in well under a second.
class Index {
 public:
  explicit Index(const std::vector<std::unique_ptr<Package>>& packages) {
    for (size_t i = 0; i < packages.size(); ++i) {
      const Package& package = *packages[i];
      add(by_name_, package.name, i);
      add(by_name_or_provide_, package.name, i);
      for (const Dependency& provided : package.provides) {
        add(by_provide_, provided.name, i);
        add(by_name_or_provide_, provided.name, i);
      }
      for (const Dependency& excluded : package.conflicts) add(by_conflict_, excluded.name, i);
      if (!package.bundle.name.empty()) add(by_bundle_, package.bundle.name, i);
    }
  }

  static const std::vector<size_t>& at(
      const std::unordered_map<std::string, std::vector<size_t>>& map, const std::string& name) {
    static const std::vector<size_t> none;
    const auto found = map.find(name);
    return found == map.end() ? none : found->second;
  }
  const std::vector<size_t>& named(const std::string& name) const { return at(by_name_, name); }
  const std::vector<size_t>& named_or_providing(const std::string& name) const {
    return at(by_name_or_provide_, name);
  }
  const std::vector<size_t>& providing(const std::string& name) const {
    return at(by_provide_, name);
  }
  const std::vector<size_t>& excluding_name(const std::string& name) const {
    return at(by_conflict_, name);
  }
  const std::vector<size_t>& members_of(const std::string& bundle) const {
    return at(by_bundle_, bundle);
  }

 private:
  // Positions ascend because records are added in order; a record that both has a name
  // and provides it is listed once.
  static void add(std::unordered_map<std::string, std::vector<size_t>>& map,
                  const std::string& name, size_t position) {
    std::vector<size_t>& positions = map[name];
    if (positions.empty() || positions.back() != position) positions.push_back(position);
  }

  std::unordered_map<std::string, std::vector<size_t>> by_name_, by_name_or_provide_, by_provide_,
      by_conflict_, by_bundle_;
};

// Active after the plan, as the dependency steps count it.
bool will_stay_active(const Package& package) {
  return package.action == ACTION_ENABLE || (package.action == ACTION_NONE && !package.disabled);
}

// Active after the plan, as the conflict walk counts it.
bool will_be_active(const Package& package) {
  return package.disabled ? package.action == ACTION_ENABLE : package.action == ACTION_NONE;
}

class Planner {
 public:
  Planner(Repository& repository, int report)
      : repository_(repository),
        packages_(repository.packages),
        index_(repository.packages),
        report_(report),
        activating_(packages_.size(), false) {}

  bool plan(std::vector<Package*>& removals, std::vector<Package*>& enables) {
    follow_bundles();
    for (size_t i = 0; i < packages_.size(); ++i) {
      if (will_stay_active(*packages_[i])) activate_dependencies(i);
    }
    for (size_t i = 0; i < packages_.size(); ++i) {
      if (will_stay_active(*packages_[i])) check_enable_conflicts(i);
    }
    propagate_removals();
    retire_bundles();
    if (!packages_.empty() &&
        std::none_of(packages_.begin(), packages_.end(),
                     [](const auto& package) { return will_stay_active(*package); })) {
      for (const auto& package : packages_) package->action = ACTION_NONE;
      if (report_ >= 1) repository_.error("can not uninstall or disable all packages");
      return false;
    }
    std::vector<Package*> removing, enabling;
    for (const auto& package : packages_) {
      if (package->action == ACTION_UNINSTALL || package->action == ACTION_DISABLE) {
        removing.push_back(package.get());
      } else if (package->action == ACTION_ENABLE) {
        enabling.push_back(package.get());
      }
    }
    filter_and_order(repository_, enabling, NO_FLOOR, false);
    removals.insert(removals.begin(), removing.rbegin(), removing.rend());
    enables.insert(enables.end(), enabling.begin(), enabling.end());
    return true;
  }

 private:
  Package& at(size_t position) const { return *packages_[position]; }

  // What find_providers answers, from the index.
  std::vector<size_t> providers_of(const Dependency& wanted) const {
    std::vector<size_t> found;
    for (const size_t position : index_.named_or_providing(wanted.name)) {
      if (!is_placeholder(at(position)) && meets(at(position), wanted)) found.push_back(position);
    }
    return found;
  }

  std::vector<Package*> records(const std::vector<size_t>& positions) const {
    std::vector<Package*> list;
    for (const size_t position : positions) list.push_back(&at(position));
    return list;
  }

  void follow_bundles() {
    for (const auto& package : packages_) {
      if (package->bundle.name.empty()) continue;
      const std::vector<size_t>& named = index_.named(package->bundle.name);
      if (named.empty()) continue;
      switch (at(named.front()).action) {
        case ACTION_DISABLE:
          if (package->action != ACTION_UNINSTALL) package->action = ACTION_DISABLE;
          break;
        case ACTION_UNINSTALL:
          package->action = ACTION_UNINSTALL;
          break;
        case ACTION_ENABLE:
          if (package->disabled) package->action = ACTION_ENABLE;
          break;
        default:
          break;
      }
    }
  }

  void activate_dependencies(size_t position) {
    // A record that loops back to itself (its own bundle, A needs B needs A) is not
    // entered again while it is being activated.
    if (activating_[position]) return;
    activating_[position] = true;
    Package& package = at(position);
    if (!package.bundle.name.empty()) {
      const std::vector<size_t>& named = index_.named(package.bundle.name);
      if (!named.empty()) keep_active(named.front(), package);
    }
    for (const Dependency& wanted : package.depends) {
      const std::vector<Package*> providers = records(providers_of(wanted));
      if (provider_state(providers) == PROVIDERS_ACTIVE) continue;
      if (providers.empty()) break;
      std::vector<Package*> ordered = providers;
      filter_and_order(repository_, ordered, NO_FLOOR, false);
      if (ordered.empty()) continue;
      keep_active(position_of(ordered.back()), package);
    }
    activating_[position] = false;
  }

  size_t position_of(const Package* package) const {
    for (const size_t position : index_.named(package->name)) {
      if (&at(position) == package) return position;
    }
    return 0;  // never: every provider is a record of `packages`
  }

  void keep_active(size_t position, const Package& dependant) {
    Package& needed = at(position);
    if (needed.action == ACTION_UNINSTALL || needed.action == ACTION_DISABLE) {
      if (report_ >= 1) {
        repository_.warning("can not %s %s: %s depends on it", action_name(needed.action),
                            display_name(needed).c_str(), dependant.name.c_str());
      }
      needed.action = ACTION_NONE;
      activate_dependencies(position);
    } else if (needed.disabled) {
      needed.action = ACTION_ENABLE;
      activate_dependencies(position);
    }
  }

  // The records that may exclude X or be excluded by it, in record order; for any other,
  // both directions of `conflicts` are false.
  std::vector<size_t> conflict_candidates(const Package& x) const {
    std::vector<size_t> found;
    const auto take = [&found](const std::vector<size_t>& positions) {
      found.insert(found.end(), positions.begin(), positions.end());
    };
    take(index_.providing(x.name));
    take(index_.excluding_name(x.name));
    for (const Dependency& excluded : x.conflicts) take(index_.named_or_providing(excluded.name));
    for (const Dependency& provided : x.provides) {
      take(index_.named_or_providing(provided.name));
      take(index_.excluding_name(provided.name));
    }
    std::sort(found.begin(), found.end());
    found.erase(std::unique(found.begin(), found.end()), found.end());
    return found;
  }

  void check_enable_conflicts(size_t x_position) {
    Package& x = at(x_position);
    for (const size_t position : conflict_candidates(x)) {
      Package& other = at(position);
      if (position == x_position || !will_be_active(other)) continue;
      if (conflicts(x, other)) {
        if (other.action == ACTION_NONE) other.action = ACTION_DISABLE;
      } else if (x.action == ACTION_ENABLE && conflicts(other, x)) {
        if (other.action == ACTION_NONE) other.action = ACTION_DISABLE;
        if (other.action == ACTION_ENABLE) {
          if (report_ >= 1) {
            repository_.warning("can not enable %s: %s conflicts with it", x.name.c_str(),
                                display_name(other).c_str());
          }
          x.action = ACTION_NONE;
          return;
        }
      }
    }
  }

  // The change the first entry of the record's dependencies calls for; false when none.
  bool propagate_one(Package& package, const std::vector<std::vector<size_t>>& entries) {
    for (const std::vector<size_t>& providers : entries) {
      const ProviderState state = provider_state(records(providers));
      if (state == PROVIDERS_GONE && package.action != ACTION_UNINSTALL) {
        package.action = ACTION_UNINSTALL;
        return true;
      }
      if (state == PROVIDERS_DISABLED && package.action != ACTION_UNINSTALL &&
          package.action != ACTION_DISABLE &&
          (!package.disabled || package.action != ACTION_NONE)) {
        package.action = ACTION_DISABLE;
        return true;
      }
    }
    return false;
  }

  // Dependants of what goes away go too. Applying the first record's change and starting
  // the walk over equals always taking the first record with a change to make: a record
  // whose check changed nothing only needs another look when one of its providers changed.
  void propagate_removals() {
    std::vector<std::vector<std::vector<size_t>>> entries(packages_.size());
    std::vector<std::vector<size_t>> dependants(packages_.size());
    for (size_t i = 0; i < packages_.size(); ++i) {
      for (const Dependency& wanted : at(i).depends) {
        entries[i].push_back(providers_of(wanted));
        for (const size_t provider : entries[i].back()) dependants[provider].push_back(i);
      }
    }
    std::priority_queue<size_t, std::vector<size_t>, std::greater<size_t>> pending;
    std::vector<bool> queued(packages_.size(), true);
    for (size_t i = 0; i < packages_.size(); ++i) pending.push(i);
    while (!pending.empty()) {
      const size_t i = pending.top();
      pending.pop();
      queued[i] = false;
      if (!propagate_one(at(i), entries[i])) continue;
      for (const size_t again : dependants[i]) {
        if (!queued[again]) {
          queued[again] = true;
          pending.push(again);
        }
      }
      queued[i] = true;
      pending.push(i);
    }
  }

  void retire_bundles() {
    for (const auto& bundle : packages_) {
      if (!bundle->is_bundle || bundle->action == ACTION_UNINSTALL) continue;
      bool live = false, remains = false;
      for (const size_t position : index_.members_of(bundle->name)) {
        const Package& member = at(position);
        if (is_placeholder(member)) continue;
        if (!member.disabled) {
          if (member.action == ACTION_NONE) live = true;
          if (member.action == ACTION_DISABLE) remains = true;
        } else {
          if (member.action == ACTION_ENABLE) live = true;
          if (member.action == ACTION_NONE || member.action == ACTION_DISABLE) remains = true;
        }
        if (live) break;
      }
      if (live) continue;
      if (!remains || !bundle->disabled) {
        bundle->action = ACTION_UNINSTALL;
      } else if (bundle->action == ACTION_ENABLE) {
        bundle->action = ACTION_NONE;
      }
    }
  }

  Repository& repository_;
  const std::vector<std::unique_ptr<Package>>& packages_;
  const Index index_;
  const int report_;
  std::vector<bool> activating_;
};

}  // namespace

ProviderState provider_state(const std::vector<Package*>& providers) {
  for (const Package* provider : providers) {
    if (will_be_active(*provider)) return PROVIDERS_ACTIVE;
  }
  for (const Package* provider : providers) {
    if (provider->disabled || provider->action == ACTION_DISABLE) return PROVIDERS_DISABLED;
  }
  return PROVIDERS_GONE;
}

bool plan_scheduled(Repository& repository, std::vector<Package*>& removals,
                    std::vector<Package*>& enables, int report) {
  return Planner(repository, report).plan(removals, enables);
}
