// The six run modes of the installer. Each returns the process exit status.
#pragma once

#include <istream>

#include "installer/options.h"

class Manifest;
class Repository;

constexpr const char* STREAM_IMAGE_PATH = "/flash/var/pdb//image";
constexpr const char* STREAM_IMAGE_MOVE_SOURCE = "/flash/var/pdb/image";
constexpr const char* PACKAGES_CHANGED_PATH = "/flash/PCKGS_CHANGED";

// Commits "/ram/MANIFEST" with the spinner, leaving the file in place.
int commit_mode();
// Drops "/ram/MANIFEST" and the transaction it holds.
int cancel_mode();
int show_mode(Repository& repository);
int cleanup_mode(Repository& repository);
// Installs the package read from `in` (standard input), keeping a copy of it as its
// database image.
int stream_mode(Repository& repository, const RunOptions& options, std::istream& in);
// Applies the schedule and upgrades from the download folders.
int upgrade_mode(Repository& repository, const RunOptions& options);
// The end of an upgrade for what `manifest` holds: unless `allow` has ADMIT_SAME, the
// boot-space check (on failure "not enough space for upgrade", the transaction cancelled,
// status 28); then, when anything is staged, the "/flash/PCKGS_CHANGED" marker and either
// the commit or, without `commit_now`, the save to "/ram/MANIFEST". A save that fails is
// reported ("can not save transaction: ..."), the transaction cancelled, and the status
// is 1. Returns 0, 1 or 28.
int finish_upgrade(Repository& repository, Manifest& manifest, uint32_t allow, bool commit_now);
