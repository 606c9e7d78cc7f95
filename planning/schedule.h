// Carrying out the scheduled actions of the installed packages: the plan of
// schedule_plan.h applied through the transaction, with progress lines.
#pragma once

#include <vector>

class Manifest;
class Package;
class Repository;

// Plans the scheduled uninstalls, disables and enables and stages them. True when something
// was applied; false when the plan was refused or there was nothing to do. Report level 0
// prints nothing, 1 the enable and disable lines and the planning warnings, 2 also the
// uninstall lines. Records uninstalled leave the Repository and are destroyed: a pointer
// taken before the call must be looked up again.
bool apply_scheduled(Repository& repository, Manifest& manifest, int report);

// Disables (action other than uninstall) or uninstalls each package of `removals` in turn.
// An uninstalled record leaves the repository and is destroyed.
void apply_removals(Repository& repository, Manifest& manifest,
                    const std::vector<Package*>& removals, int report);

// Enables each package in turn.
void enable_packages(Repository& repository, Manifest& manifest,
                     const std::vector<Package*>& packages, int report);
