// Ending a transaction: carrying out its operations, or dropping them.
#pragma once

class Manifest;

// Carries out every operation: removals and links in a first pass, then moves, each pass
// in path order; a move across file systems becomes a copy beside the target, renamed over
// it. The file systems of the moved files are flushed before the first rename and after
// the last, so a power cut leaves every file old or new. Failures are reported with perror
// on standard error and do not stop it. The operations stay in `manifest`. `progress`
// turns the spinner on standard output while copying.
void commit(Manifest& manifest, bool progress);
// Deletes the transaction's own temporary files and forgets every operation.
void cancel(Manifest& manifest);
