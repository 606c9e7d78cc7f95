#include "planning/offer_decision.h"

#include "package/repository.h"
#include "planning/admission.h"

OfferDecision decide_offer(const Repository& repository, Console& console, const Package& offer,
                           uint32_t allow, const UserForcedMap& user_forced, bool member) {
  uint32_t result = admit(repository, console, offer, member ? ADMIT_ALL : allow | ADMIT_CONFLICT);
  OfferDecision decision;
  const auto chosen = user_forced.find(offer.name);
  decision.disabled = chosen != user_forced.end() && chosen->second;
  decision.user_forced = chosen != user_forced.end();
  if (repository.is_listed_disabled(offer)) result |= ADMIT_CONFLICT;
  if (result & ADMIT_CONFLICT) {
    // Excluded by an enabled package: installed, but disabled.
    result &= ~ADMIT_CONFLICT;
    decision.disabled = true;
  }
  if (!(result & (~allow | ADMIT_SAME))) {
    decision.outcome = OfferOutcome::install;
  } else if (member) {
    decision.outcome = OfferOutcome::pass_over;
  } else if (!(result & ADMIT_SAME)) {
    decision.outcome = OfferOutcome::refused;
  } else {
    decision.outcome =
        (allow & ADMIT_SAME) ? OfferOutcome::already_installed : OfferOutcome::stays_installed;
  }
  return decision;
}

bool member_may_join(const Repository& repository, const Package& member,
                     const std::string& bundle) {
  const Package* installed = repository.find(member.name);
  return installed == nullptr || installed->bundle.name == bundle;
}

bool bundle_may_replace(const Repository& repository, const Package& bundle) {
  const Package* installed = repository.find(bundle.name);
  return installed == nullptr || installed->is_bundle;
}

std::set<std::string> members_of(const Repository& repository, const std::string& bundle) {
  std::set<std::string> members;
  for (const auto& package : repository.packages()) {
    if (package->bundle.name == bundle) members.insert(package->name);
  }
  return members;
}

void retire_members(const Repository& repository, const std::set<std::string>& names) {
  for (const std::string& name : names) {
    if (Package* old = repository.find(name)) old->action = ACTION_UNINSTALL;
  }
}

namespace {

bool names(const std::vector<Dependency>& list, const std::string& name) {
  for (const Dependency& entry : list) {
    if (entry.name == name) return true;
  }
  return false;
}

}  // namespace

bool may_change_the_plan(const Repository& repository, const Package& added, bool replaced) {
  if (replaced || !added.depends.empty() || !added.provides.empty() || !added.conflicts.empty()) {
    return true;
  }
  for (const auto& other : repository.packages()) {
    if (names(other->depends, added.name) || names(other->provides, added.name) ||
        (!added.disabled && names(other->conflicts, added.name))) {
      return true;
    }
  }
  return false;
}

UserForcedMap user_choices(const Repository& repository) {
  UserForcedMap choices;
  for (const auto& package : repository.packages()) {
    if (package->user_forced) choices.emplace(package->name, package->disabled);
  }
  return choices;
}

std::set<std::string> active_names(const Repository& repository) {
  std::set<std::string> names;
  for (const auto& package : repository.packages()) {
    if (package->disabled) continue;
    names.insert(package->name);
    for (const Dependency& provided : package->provides) names.insert(provided.name);
  }
  return names;
}

std::vector<Package*> to_switch_back_on(const Repository& repository,
                                        const std::set<std::string>& were_active) {
  std::vector<Package*> enable;
  for (const std::string& name : were_active) {
    Package* package = repository.find_active(name);
    if (package != nullptr && package->disabled && !repository.is_listed_disabled(*package) &&
        repository.find_conflicting(*package) == nullptr) {
      enable.push_back(package);
    }
  }
  return enable;
}
