// The six run modes of the installer. Each returns the process exit status.
#pragma once

#include <istream>

#include "installer/options.h"

class Console;
class Manifest;
class Repository;

// Commits "/ram/MANIFEST" with the spinner and deletes it once the commit succeeded; a failed
// commit is reported ("can not commit: ...", status 1) and the file stays for another try.
int commit_mode(Console& console);
// Drops "/ram/MANIFEST" and the transaction it holds, deleting its staged files.
int cancel_mode(Console& console);
// Finishes, before anything else, a commit that an earlier run began on the database's
// entries and did not end (a power cut, a failure): 0, or status 1 after "can not commit:
// ..." when it fails again. Every mode that changes the flash runs it first; the
// "--commit" and "--cancel" modes run it themselves.
int finish_interrupted_run(Console& console);
// Whether finish_interrupted_run would find a commit to finish; it only looks.
bool interrupted_run_pending();
int show_mode(const Repository& repository);
int cleanup_mode(Console& console, Repository& repository);
// Installs the package read from `in` (standard input), keeping a copy of it as its
// database image.
int stream_mode(Console& console, Repository& repository, const RunOptions& options,
                std::istream& in);
// With the console's dry_run, the three modes that change the flash plan, verify, check the
// space and report exactly as they would, and write nothing: no staged file, no marker, no
// post log, no saved transaction; leftovers of other runs stay.
// Applies the schedule and upgrades from the download folders.
int upgrade_mode(Console& console, Repository& repository, const RunOptions& options);
// The end of an upgrade for what `manifest` holds: unless `allow` has ADMIT_SAME, the
// boot-space check (on failure "not enough space for upgrade", the transaction cancelled,
// status 28); then, when anything is staged, the "/flash/PCKGS_CHANGED" marker and either
// the commit or, without `commit_now`, the save to "/ram/MANIFEST". A save that fails is
// reported ("can not save transaction: ..."), the transaction cancelled, and the status
// is 1; so is a failed commit ("can not commit: ..."). A saved transaction of an earlier
// run is dropped first. Returns 0, 1 or 28.
int finish_upgrade(Console& console, Manifest& manifest, uint32_t allow, bool commit_now);
