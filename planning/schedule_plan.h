// Deciding what the scheduled actions of the installed packages (uninstall, enable,
// disable) come to: members follow their bundle, every package that stays active keeps
// what it needs, conflicts among active packages are settled by disabling, dependants of
// what goes away go too, bundles without members are retired, and a plan that would leave
// nothing active is refused. Only `action` fields change here; carrying the plan out is
// schedule.h's.
#pragma once

#include <vector>

class Package;
class Repository;

// What the providers of a dependency come to after the plan.
enum ProviderState : int {
  PROVIDERS_ACTIVE = 0,    // some provider stays or becomes enabled
  PROVIDERS_GONE = 1,      // every provider goes away, or there is none
  PROVIDERS_DISABLED = 3,  // none active, but some stays installed disabled
};
ProviderState provider_state(const std::vector<Package*>& providers);

// Makes the scheduled actions consistent and lists what to do: `removals` (uninstalls and
// disables, in reverse record order) and `enables` (dependencies first). False, with every
// action reset, when the plan would leave no package active ("can not uninstall or disable
// all packages" at report level 1 and above). Report level 1 also prints the warnings about
// cancelled actions. Terminates on any database, however its dependencies loop.
bool plan_scheduled(Repository& repository, std::vector<Package*>& removals,
                    std::vector<Package*>& enables, int report);
