// Deciding what the scheduled actions of the installed packages (uninstall, enable,
// disable) come to: members follow their bundle, every package that stays active keeps
// what it needs, conflicts among active packages are settled by disabling, dependants of
// what goes away go too, bundles without members are retired, and a plan that would leave
// nothing active is refused. Only `action` fields change here; carrying the plan out is
// for install/.
#pragma once

#include <vector>

#include "package/console.h"

class Package;
class Repository;

// Makes the scheduled actions consistent and lists what to do: `removals` (uninstalls and
// disables, in reverse record order) and `enables` (dependencies first). False, with every
// action reset, when the plan would leave no package active ("can not uninstall or disable
// all packages" from ReportLevel::changes up, which also prints the warnings about
// cancelled actions). Terminates on any database, however its dependencies loop.
bool plan_scheduled(const Repository& repository, Console& console, std::vector<Package*>& removals,
                    std::vector<Package*>& enables, ReportLevel report);
