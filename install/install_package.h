// Installing one package read from a part stream: its image part passed over, its file
// archive extracted into the transaction, its signature demanded, its trailer checked, and
// its database record staged. Nothing reaches a final path before the commit.
//
// An archive entry named N of package P goes to "/flash/" + N when P is enabled, and to
// "/flash/x/" + P's name + "/" + N when P is disabled (one "/" between the parts when N
// begins with one). P's `files` records each such path below "/flash", with its leading
// "/" ("/etc/x", "/x/p/etc/x"); removal puts "/flash" back in front.
#pragma once

#include <sys/types.h>

#include <string>

#include "package/path_table.h"

struct ArchiveEntryHeader;
class Console;
class Manifest;
class Package;
class PartStream;

// Installs `package` (its header group already read, `disabled` and `user_forced` chosen)
// from `stream`, which stands on the first part after the header group. True when its
// files and database record are staged in `manifest` and, for a package of its own, the
// "installed" line is printed. False after an error message (none when another operation
// than a removal is pending for its database directory); what was staged stays staged,
// and stays in `files`, for the caller to cancel.
[[nodiscard]] bool install_package(Console& console, Package& package, Manifest& manifest,
                                   PartStream& stream);

// The modes of a package's staged files, held back until its signature is verified: a
// file is staged with mode 0600, so that a package refused, cut short or killed never
// leaves an executable or set-id file with an unknown sender's bytes.
class StagedModes {
 public:
  // Remembers `mode` (its permission, set-id and sticky bits) for the file staged for `path`.
  void add(const std::string& path, mode_t mode);
  // Gives each file still staged for its path the mode remembered for it; false after the
  // error message when one cannot be set.
  [[nodiscard]] bool apply(Console& console, Package& package, const Manifest& manifest);

 private:
  static constexpr mode_t PERMISSION_BITS = 07777;
  static constexpr mode_t PERMISSION_BITS_STAGED = 0600;
  PathTable modes_;  // path -> its mode, two bytes low first: packed, as a file list is
};

// Extracts the regular files of the archive part `stream` stands on, each staged with mode
// 0600 and its own mode added to `modes`. False after an error message when an entry's
// name is cut short or hostile, its data is cut short, or a file cannot be staged.
[[nodiscard]] bool extract_files(Console& console, Package& package, Manifest& manifest,
                                 PartStream& stream, StagedModes& modes);

// The status line "installing <name-version>", with " (disabled) " before the name for a
// disabled package of its own, and the progress bar of `stream`.
void show_installing(Console& console, const Package& package, const PartStream& stream);

// The path, below "/flash", that archive entry `name` of `package` is written to: "/" +
// the name's components without "." and empty ones (so that one file has one path), under
// "/x/<package>" for a disabled package.
std::string archive_target(const Package& package, const std::string& name);
// "/" + the name's components without "." and empty ones; empty when none is left.
std::string normalized_path(const std::string& name);

// Whether an archive entry name may stand in an archive at all: not empty, no ".."
// component, no control character or white space (the database and the saved transaction
// keep paths one per line, fields split at blanks), not made of "/" only. A written file's
// name must besides not end in "/", nor come down to nothing but "." components.
bool is_safe_entry_name(const std::string& name);

// Whether installation writes `entry` on this machine: a regular file whose processor
// selector is 0 or this machine's processor_family.
bool is_written_entry(const ArchiveEntryHeader& entry);

// Whether a written entry named `name`, going to `target` (archive_target), can be a file:
// its name names no directory and keeps a component, and the target lies outside the
// database, which belongs to the installer. Installation refuses the package otherwise.
bool is_file_target(const std::string& name, const std::string& target);

// Where paths resolve: inside "/flash", and there inside its database or not. A link on the
// flash that leads elsewhere, or into the database, which belongs to the installer, would
// carry files where no package's file may go. Only the nearest existing ancestor is
// resolved, and the answer for the last parent directory is kept, since the files of a
// package mostly share their directories. That answer holds while one package is extracted
// or removed: no directory or link appears before the commit.
class FlashBounds {
 public:
  enum class Place { outside, flash, database };
  Place place(const std::string& path);
  // Inside the flash and outside its database: where a package's file may be.
  bool holds_file(const std::string& path) { return place(path) == Place::flash; }

 private:
  std::string flash_;     // "/flash" resolved
  std::string database_;  // its database resolved
  std::string last_parent_;
  Place last_place_ = Place::outside;
};
