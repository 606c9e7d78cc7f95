#include "planning/schedule_plan.h"

#include <algorithm>
#include <queue>

#include "package/console.h"
#include "package/relations.h"
#include "package/repository.h"
#include "planning/candidate_order.h"
#include "planning/plan_index.h"

namespace {

// What the providers of a dependency come to after the plan.
enum class ProviderState {
  active,         // some provider stays or becomes enabled
  gone,           // every provider goes away, or there is none
  disabled_only,  // none active, but some stays installed disabled
};

// Active after the plan as dependencies count it: enabled with no action, or enabled by it.
bool active_as_needed(const Package& package) {
  return package.action == ACTION_ENABLE || (package.action == ACTION_NONE && !package.disabled);
}

// Active after the plan as conflicts count it: an enabled record with a stray enable action
// does not exclude.
bool active_as_excluding(const Package& package) {
  return package.disabled ? package.action == ACTION_ENABLE : package.action == ACTION_NONE;
}

ProviderState provider_state(const std::vector<Package*>& providers) {
  for (const Package* provider : providers) {
    if (active_as_excluding(*provider)) return ProviderState::active;
  }
  for (const Package* provider : providers) {
    if (provider->disabled || provider->action == ACTION_DISABLE)
      return ProviderState::disabled_only;
  }
  return ProviderState::gone;
}

class Planner {
 public:
  Planner(const Repository& repository, Console& console, ReportLevel report)
      : console_(console),
        packages_(repository.packages()),
        index_(repository, console),
        report_(report),
        entered_at_(packages_.size(), -1) {}

  bool plan(std::vector<Package*>& removals, std::vector<Package*>& enables) {
    follow_bundles();
    for (size_t i = 0; i < packages_.size(); ++i) {
      if (active_as_needed(at(i))) activate_dependencies(i);
    }
    for (size_t i = 0; i < packages_.size(); ++i) {
      if (active_as_needed(at(i))) check_enable_conflicts(i);
    }
    propagate_removals();
    retire_bundles();
    if (!packages_.empty() &&
        std::none_of(packages_.begin(), packages_.end(),
                     [](const auto& package) { return active_as_needed(*package); })) {
      for (const auto& package : packages_) package->action = ACTION_NONE;
      if (report_ >= ReportLevel::changes)
        console_.error("can not uninstall or disable all packages");
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
    filter_and_order(console_, enabling, NO_FLOOR, false);
    removals.insert(removals.begin(), removing.rbegin(), removing.rend());
    enables.insert(enables.end(), enabling.begin(), enabling.end());
    return true;
  }

 private:
  Package& at(size_t position) const { return *packages_[position]; }

  std::vector<Package*> records(const std::vector<size_t>& positions) const {
    std::vector<Package*> list;
    for (const size_t position : positions) list.push_back(&at(position));
    return list;
  }

  // The record a bundle reference names: the first of that name.
  bool bundle_of(const Package& package, size_t& position) const {
    if (package.bundle.name.empty()) return false;
    const std::vector<size_t>& named = index_.named(package.bundle.name);
    if (named.empty()) return false;
    position = named.front();
    return true;
  }

  void follow_bundles() {
    for (const auto& package : packages_) {
      size_t bundle = 0;
      if (!bundle_of(*package, bundle)) continue;
      switch (at(bundle).action) {
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

  // Keeps `needed` active for `dependant`: cancels its uninstall or disable, or enables it.
  // True when its own dependencies are to be activated next.
  bool keep_active(size_t needed_position, const Package& dependant) {
    Package& needed = at(needed_position);
    if (needed.action == ACTION_UNINSTALL || needed.action == ACTION_DISABLE) {
      if (report_ >= ReportLevel::changes) {
        console_.warning("can not %s %s: %s depends on it", action_name(needed.action),
                         display_name(needed).c_str(), dependant.name.c_str());
      }
      needed.action = ACTION_NONE;
      ++changes_;
      return true;
    }
    if (needed.disabled) {
      if (needed.action != ACTION_ENABLE) ++changes_;
      needed.action = ACTION_ENABLE;
      return true;
    }
    return false;
  }

  // One record being activated: where its walk stands.
  struct Frame {
    size_t position;
    size_t next;      // 0 before its bundle, then 1 + the index of the next dependency
    long entered_at;  // the mark it had before this frame
  };

  // A record is entered again only when some action changed since it was entered last: the
  // same state would only come round again, for ever (a record that is its own bundle, or
  // needs itself through others). The walk keeps its own stack, so a chain of any length
  // is followed without deep recursion.
  void enter(std::vector<Frame>& stack, size_t position) {
    if (entered_at_[position] == changes_) return;
    stack.push_back({position, 0, entered_at_[position]});
    entered_at_[position] = changes_;
  }

  void activate_dependencies(size_t start) {
    std::vector<Frame> stack;
    enter(stack, start);
    while (!stack.empty()) {
      Frame& frame = stack.back();
      const Package& package = at(frame.position);
      size_t needed = 0;
      if (frame.next == 0) {
        frame.next = 1;
        if (bundle_of(package, needed) && keep_active(needed, package)) enter(stack, needed);
        continue;
      }
      if (frame.next > package.depends.size()) {
        entered_at_[frame.position] = frame.entered_at;
        stack.pop_back();
        continue;
      }
      const size_t id = index_.dependency_id(package.depends[frame.next++ - 1]);
      const std::vector<Package*> providers = records(index_.providers(id));
      if (provider_state(providers) == ProviderState::active) continue;
      if (providers.empty()) {
        frame.next = package.depends.size() + 1;  // the rest of its needs are not looked at
        continue;
      }
      if (index_.chosen_provider(id, needed) && keep_active(needed, package)) {
        enter(stack, needed);
      }
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
      if (position == x_position || !active_as_excluding(other)) continue;
      if (conflicts(x, other)) {
        if (other.action == ACTION_NONE) other.action = ACTION_DISABLE;
      } else if (x.action == ACTION_ENABLE && conflicts(other, x)) {
        if (other.action == ACTION_NONE) other.action = ACTION_DISABLE;
        if (other.action == ACTION_ENABLE) {
          if (report_ >= ReportLevel::changes) {
            console_.warning("can not enable %s: %s conflicts with it", x.name.c_str(),
                             display_name(other).c_str());
          }
          x.action = ACTION_NONE;
          return;
        }
      }
    }
  }

  // The change the first dependency of the record calls for; false when none.
  bool propagate_one(Package& package, const std::vector<size_t>& ids) {
    for (const size_t id : ids) {
      const ProviderState state = provider_state(records(index_.providers(id)));
      if (state == ProviderState::gone && package.action != ACTION_UNINSTALL) {
        package.action = ACTION_UNINSTALL;
        return true;
      }
      if (state == ProviderState::disabled_only && package.action != ACTION_UNINSTALL &&
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
    std::vector<std::vector<size_t>> ids(packages_.size());        // per record, per need
    std::vector<std::vector<size_t>> dependants;                   // per dependency id
    std::vector<std::vector<size_t>> needed_as(packages_.size());  // per record: ids
    for (size_t i = 0; i < packages_.size(); ++i) {
      for (const Dependency& wanted : at(i).depends) {
        const size_t id = index_.dependency_id(wanted);
        ids[i].push_back(id);
        if (id >= dependants.size()) {
          dependants.resize(id + 1);
        }
        if (dependants[id].empty()) {
          for (const size_t provider : index_.providers(id)) needed_as[provider].push_back(id);
        }
        if (dependants[id].empty() || dependants[id].back() != i) dependants[id].push_back(i);
      }
    }
    std::priority_queue<size_t, std::vector<size_t>, std::greater<size_t>> pending;
    std::vector<bool> queued(packages_.size(), true);
    for (size_t i = 0; i < packages_.size(); ++i) pending.push(i);
    const auto queue = [&](size_t position) {
      if (queued[position]) return;
      queued[position] = true;
      pending.push(position);
    };
    while (!pending.empty()) {
      const size_t i = pending.top();
      pending.pop();
      queued[i] = false;
      if (!propagate_one(at(i), ids[i])) continue;
      for (const size_t id : needed_as[i]) {
        for (const size_t dependant : dependants[id]) queue(dependant);
      }
      queue(i);
    }
  }

  // What a bundle's members come to after the plan.
  enum class MembersAfter { active, disabled_only, gone };
  MembersAfter members_after(const Package& bundle) const {
    MembersAfter after = MembersAfter::gone;
    for (const size_t position : index_.members_of(bundle.name)) {
      const Package& member = at(position);
      if (is_placeholder(member)) continue;
      if (active_as_excluding(member)) return MembersAfter::active;
      if (member.action == ACTION_DISABLE || (member.disabled && member.action == ACTION_NONE)) {
        after = MembersAfter::disabled_only;
      }
    }
    return after;
  }

  // A bundle none of whose members stays active goes, unless it is disabled and keeps
  // disabled members; then it is not enabled either.
  void retire_bundles() {
    for (const auto& bundle : packages_) {
      if (!bundle->is_bundle || bundle->action == ACTION_UNINSTALL) continue;
      const MembersAfter members = members_after(*bundle);
      if (members == MembersAfter::active) continue;
      const bool remains = members == MembersAfter::disabled_only;
      if (!remains || !bundle->disabled) {
        bundle->action = ACTION_UNINSTALL;
      } else if (bundle->action == ACTION_ENABLE) {
        bundle->action = ACTION_NONE;
      }
    }
  }


  Console& console_;
  const std::vector<std::unique_ptr<Package>>& packages_;
  PlanIndex index_;
  const ReportLevel report_;
  std::vector<long> entered_at_;  // the value of changes_ when each record was entered
  long changes_ = 0;              // actions changed while activating
};

}  // namespace

bool plan_scheduled(const Repository& repository, Console& console, std::vector<Package*>& removals,
                    std::vector<Package*>& enables, ReportLevel report) {
  return Planner(repository, console, report).plan(removals, enables);
}
