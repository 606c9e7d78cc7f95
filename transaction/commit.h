// Ending a transaction: carrying out its operations, or dropping them.
#pragma once

#include <string>

class Manifest;
class StagingAreas;

// The file, in the staging directory of the database's file system, that holds a commit
// which has begun on the database's entries and not yet ended.
constexpr const char* JOURNAL_NAME = "journal";

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
// The journal's path; without `create`, empty when there is no staging directory.
std::string commit_journal(StagingAreas& areas, bool create);
// Finishes the commit that a power cut or a failure interrupted after it began on the
// database's entries, from its journal; false, doing nothing, when there is none. `result`
// tells how the commit went; a failed one keeps its journal for the next try.
bool finish_interrupted_commit(Manifest& manifest, CommitResult& result);
// Deletes the transaction's own temporary files and forgets every operation.
void cancel(Manifest& manifest);
