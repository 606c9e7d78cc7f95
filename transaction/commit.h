// Ending a transaction: carrying out its operations, or dropping them.
#pragma once

class Manifest;

struct CommitResult {
  int error = 0;         // errno of the first failure; 0 when everything was done
  bool changed = false;  // false: the flush before the first change failed, nothing moved
};

// Carries out every operation. Nothing happens when staging failed (Manifest::failure), when
// a directory stands where a file or link is to go, or when the first flush, of the file
// systems of the moved files and of every target, fails. Then removals and links, then moves,
// each pass in path order (a move across file systems becomes a copy beside the target,
// renamed over it): first for every path outside the database, then, once those are
// flushed and only if nothing failed, for the database's entries, so that an entry never
// tells of files that did not reach their place. Then the file systems of every target are
// flushed. Only when all of that succeeded are the downloads the transaction consumes
// (removals of files directly in a download folder) deleted and their file system flushed,
// so that a failed or interrupted commit leaves them for a rerun. A power cut leaves every
// file old or new. Each failing call is reported with perror on standard error and does not
// stop the rest, but for the database's entries; a staged file that could not reach its
// place stays where it is. The operations stay in `manifest`. `progress` turns the spinner
// on standard output while copying.
[[nodiscard]] CommitResult commit(Manifest& manifest, bool progress);
// Deletes the transaction's own temporary files and forgets every operation.
void cancel(Manifest& manifest);
