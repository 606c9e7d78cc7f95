// Carrying out what a plan of scheduled actions decided: disables, uninstalls and enables
// staged through the transaction, with their progress lines.
#pragma once

#include <string>
#include <vector>

#include "package/console.h"

class Manifest;
class Package;
class Repository;

// Disables (action other than uninstall) or uninstalls each package of `removals` in turn.
// An uninstalled record leaves `repository` and is destroyed. Uninstall lines are printed
// at ReportLevel::changes_and_uninstalls, disable lines from ReportLevel::changes; a dry
// run's console gets every line.
void apply_removals(Console& console, Repository& repository, Manifest& manifest,
                    const std::vector<Package*>& removals, ReportLevel report);

// Enables each package in turn; lines from ReportLevel::changes, or always in a dry run.
void enable_packages(Console& console, Manifest& manifest, const std::vector<Package*>& packages,
                     ReportLevel report);

// Stages the removal of the first record named `name` and destroys it; false when none.
bool remove_named(Repository& repository, Manifest& manifest, const std::string& name);
