// Ending a transaction: commit, cancel, and the free-space check before an upgrade.
#pragma once

class Manifest;

// Carries out every operation: removals and links first, then moves. Failures are
// reported with perror and do not stop it. `progress` shows a spinner while copying.
void commit(Manifest& manifest, bool progress);
// Deletes the transaction's temporary files and forgets every operation.
void cancel(Manifest& manifest);
// True when the flash file systems keep enough free blocks after the commit.
bool fits_boot_space(const Manifest& manifest);
