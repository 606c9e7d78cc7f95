// What to do with an offered package or bundle, decided from the records alone: whether it
// is installed, and in which state; whether a bundle member may join; whether planning must
// run again once it has. install/ and the run modes carry the answers out.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "package/package.h"

class Console;
class Repository;

// Package name -> the disabled state the user chose for it.
using UserForcedMap = std::map<std::string, bool>;

enum class OfferOutcome {
  install,            // installed, in place of its namesake if there is one
  pass_over,          // a bundle member that is not installed; its signature is still checked
  already_installed,  // the same version stands, and the caller accepts that with a message
  stays_installed,    // the same version stands; admission has warned
  refused,            // admission refused it, and said why
};

struct OfferDecision {
  OfferOutcome outcome = OfferOutcome::refused;
  bool disabled = false;     // the state it is installed in
  bool user_forced = false;  // the user chose that state
};

// Admits `offer` against `repository` under the caller's `allow` mask (admission bits) and
// chooses its state: the user's choice for its name, else enabled; disabled when an enabled
// package excludes it or its bundle's member list names it. A bundle member (`member`) is
// admitted silently and, when the mask refuses it, passed over. Prints admission's message.
OfferDecision decide_offer(const Repository& repository, Console& console, const Package& offer,
                           uint32_t allow, const UserForcedMap& user_forced, bool member);

// Which bundle a member belongs to is not signed: a member may not take over a package of
// its name that came from elsewhere, which a later bundle of this name would retire.
bool member_may_join(const Repository& repository, const Package& member,
                     const std::string& bundle);

// The bundle header is not signed either: it may only replace a bundle (or nothing).
bool bundle_may_replace(const Repository& repository, const Package& bundle);

// The names of the records that came from bundle `bundle`.
std::set<std::string> members_of(const Repository& repository, const std::string& bundle);

// Schedules the uninstall of the named records that are installed: the members a new
// version of their bundle no longer has.
void retire_members(const Repository& repository, const std::set<std::string>& names);

// Whether planning could change anything once the bundle member `added` (not yet among the
// records) joins them: not when it replaced nothing, relates to no name, and no record
// needs, provides or (while it is enabled) excludes its name. Planning after each of a
// bundle's thousands of members would cost their square; the bundle's own plan at its end
// still sees them all.
bool may_change_the_plan(const Repository& repository, const Package& added, bool replaced);

// Around an upgrade: the states the user chose, by name; the names (own and provided) of
// the enabled records before it; and, after it, the records to switch back on: for each of
// those names the active record, when it is disabled, not disabled by its bundle's list, and
// excluded by no enabled package.
UserForcedMap user_choices(const Repository& repository);
std::set<std::string> active_names(const Repository& repository);
std::vector<Package*> to_switch_back_on(const Repository& repository,
                                        const std::set<std::string>& were_active);
