// Writing a package's database entry under "/flash/var/pdb/<name>/": the text files that
// the loader reads and the "disabled"/"enabled" markers. Every file is staged in the run's
// Manifest and reaches its place only when the transaction is committed.
//
// Files of an entry (every line ends in "\n", fields are separated by one space, numbers
// are decimal: versions and bounds unsigned 32-bit words, weights signed):
//   version    "<version> <build_time>"
//   deps       "<name> <min> <max>" per dependency; written even when empty
//   provides   "<name> <min> <max> <weight>" per entry; only when not empty
//   conflicts  "<name> <min> <max>" per entry; only when not empty
//   bundle     "<bundle name>"; removed when the package came from no bundle
//   files      one path per line in ascending byte order, without its leading "/";
//              not written for a bundle record
//   disabled   "user" or "auto" (not forced by the user); removed when enabled
//   enabled    "user"; only when enabled by the user, else removed
// A package whose own file serves as its database image (it has an image part, type 21, or
// the header flag HEADER_NO_TEXT_DB) gets only the markers; text files already there stay.
#pragma once

#include <string>
#include <vector>

#include "package/package.h"

class Console;
class Manifest;

// The name install messages use: the bundle's requirement text when the package came
// from a bundle, else name-version.
std::string message_name(const Package& package);

// Stages the entry of `package`. False after reporting the failure of a text file through
// `console`; files staged before it stay staged for the caller to cancel. Marker
// failures go undetected.
[[nodiscard]] bool write_database_record(Console& console, const Package& package,
                                         Manifest& manifest);
// The same after withdrawing a pending removal of the entry's directory; false, with no
// message, when another operation is pending for that directory path.
[[nodiscard]] bool rewrite_database_record(Console& console, const Package& package,
                                           Manifest& manifest);
// Stages `path` with one line per entry; false when a line could not be written (errno
// says why). Does not report.
[[nodiscard]] bool write_list_file(Manifest& manifest, const std::string& path,
                                   const std::vector<Dependency>& entries, bool with_weight);
// Stages the "files" list; true without writing for a bundle record. Does not report.
[[nodiscard]] bool write_files_list(const Package& package, Manifest& manifest);

// Stage the markers of a disable or an enable and update the record at once, so that the
// rest of the run sees the new state; `action` becomes ACTION_NONE. Report nothing.
void mark_disabled(Package& package, Manifest& manifest);
void mark_enabled(Package& package, Manifest& manifest);

// Reports that writing `label` (an archive entry or a database file label) failed, with
// the message chosen by the current errno: full disk, disk error, or the system's text.
void report_write_failure(Console& console, const Package& package, const std::string& label);
void report_broken(Console& console, const Package& package);

// Withdraws a pending removal of the entry's directory; see Manifest::keep_directory.
// False with an error message when the directory is a symbolic link.
[[nodiscard]] bool keep_database_dir(Console& console, const Package& package, Manifest& manifest);
