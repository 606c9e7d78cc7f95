// The upgrade driver: installs the package files of the first download folder that holds
// any, keeps each as its package's database image, and switches back on what was on.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "package/package.h"
#include "package/system_paths.h"

class Console;
class Manifest;
class Repository;


// Stages the upgrade in `manifest`. The first failing file cancels the whole transaction
// and ends the upgrade; so does an upgrade that would leave no package at all: false then.
// A file refused for being older than what is installed ends it too, but is no failure.
bool upgrade(Console& console, Repository& repository, Manifest& manifest, uint32_t allow);

// Appends a record for each readable package file of `folder` (a path ending in "/"):
// names not beginning with "." and ending in ".vmp" or ".trp". An unreadable one is
// reported as "broken package <name>". A folder that cannot be listed adds nothing.
void scan_package_folder(Console& console, const std::string& folder,
                         std::vector<std::unique_ptr<PackageFile>>& found);
