// Installing one package read from a part stream: its image part passed over, its file
// archive extracted into the transaction, its signature demanded, its trailer checked, and
// its database record staged. Nothing reaches a final path before the commit.
//
// An archive entry named N of package P goes to "/flash/" + N when P is enabled, and to
// "/flash/x/" + P's name + "/" + N when P is disabled (one "/" between the parts when N
// begins with one). P's `files` records each such path below "/flash", with its leading
// "/" ("/etc/x", "/x/p/etc/x"); removal puts "/flash" back in front.
#pragma once

#include <string>

class Manifest;
class Package;
class PartStream;

// Installs `package` (its header group already read, `disabled` and `user_forced` chosen)
// from `stream`, which stands on the first part after the header group. True when its
// files and database record are staged in `manifest` and, for a package of its own, the
// "installed" line is printed. False after an error message (none when another operation
// than a removal is pending for its database directory); what was staged stays staged,
// and stays in `files`, for the caller to cancel.
[[nodiscard]] bool install_package(Package& package, Manifest& manifest, PartStream& stream);

// Extracts the regular files of the archive part `stream` stands on. False after an error
// message when an entry's name is cut short or hostile, its data is cut short, or a file
// cannot be staged.
[[nodiscard]] bool extract_files(Package& package, Manifest& manifest, PartStream& stream);

// The status line "installing <name-version>", with " (disabled) " before the name for a
// disabled package of its own, and the progress bar of `stream`.
void show_installing(const Package& package, const PartStream& stream);

// The path, below "/flash", that archive entry `name` of `package` is written to.
std::string archive_target(const Package& package, const std::string& name);

// Whether an archive entry name is safe to write: not empty, no "." or ".." component
// reaching above "/flash", no control character or white space (the database and the
// saved transaction keep paths one per line, fields split at blanks), not ending in "/".
bool is_safe_entry_name(const std::string& name);
