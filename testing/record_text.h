// Package records from compact text, for table-driven tests of admission and planning:
//   "name-version word..."
// The version is a version text (after the last "-"). Words:
//   disabled, forced (user_forced), bundle (is_bundle), placeholder
//   action=uninstall|enable|disable, arch=TEXT, built=N, flags=N
//   needs=ENTRY,...     depends       ENTRY is NAME[@WEIGHT][>=VERSION][<=VERSION]
//   gives=ENTRY,...     provides
//   excludes=ENTRY,...  conflicts
//   from=NAME-VERSION   the bundle it was installed from
//   members=NAME-VERSION,...  members of an offered bundle
// A malformed text fails the test that gave it.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "package/package.h"

std::unique_ptr<Package> package_from(const std::string& text);
std::unique_ptr<PackageFile> offer_from(const std::string& text);
