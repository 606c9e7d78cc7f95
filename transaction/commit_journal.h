// The commit's journal: once a commit begins on the database's entries, a file in the
// staging directory of the database's file system holds what is left to do (the entries
// and the downloads), so that the next run finishes it after a power cut or a failure.
#pragma once

#include <string>
#include <vector>

#include "transaction/commit.h"

class Manifest;
class StagingAreas;

constexpr const char* JOURNAL_NAME = "journal";

// The journal's path; without `create`, empty when there is no staging directory.
std::string commit_journal(StagingAreas& areas, bool create);

// Copies `source`, with its permission bits, into a new staged file on the file system that
// receives `path`, named in `copy`. 0, or the errno of the failure (nothing is left then).
int copy_to_staging(Manifest& manifest, const std::string& source, const std::string& path,
                    bool progress, std::string& copy);

// Copies each database entry staged on another file system (RAM) into the staging
// directory of its own, so that the entries' pass is renames only, which a journal can
// repeat after a power cut that empties RAM. The staged originals stay (a saved transaction
// may name them): their names go to `originals`, for deleting once the commit succeeded.
// 0, or the errno of the first failure.
int bring_records_home(Manifest& manifest, std::vector<std::string>& originals);

// Writes what the journal must repeat (the database's entries and the downloads) to a
// staged file and renames it onto `journal`: from then on the next run finishes the
// commit. `written` tells whether a journal now stands (there is none when the transaction
// has nothing to journal). 0, or the errno of the failure (nothing is left then).
int write_journal(Manifest& manifest, const std::string& journal, bool& written);

// Finishes the commit that a power cut or a failure interrupted after it began on the
// database's entries, from its journal; false, doing nothing, when there is none (a file
// that is not one this installer writes is deleted). `result` tells how the commit went;
// a journal that cannot be read or finished now is kept for the next try.
bool finish_interrupted_commit(Manifest& manifest, CommitResult& result);
