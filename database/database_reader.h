// Loading the installed packages from the database under "/flash/var/pdb/": one directory
// per package, holding the package file as "image", or text files, or both; plus the
// "disabled"/"enabled" markers and the schedule files other programs leave in "/ram/pdb/".
#pragma once

#include <istream>
#include <string>
#include <vector>

#include "package/package.h"
#include "package/system_paths.h"

class Repository;

// "/flash/var/pdb/" + name + "/".
std::string database_dir(const PackageInfo& package);

// The package's name without the characters that are not ASCII letters, digits or "-":
// the name of its directory under "/ram/pdb/".
std::string schedule_key(const std::string& name);

// How much of each record a caller needs.
enum class RecordDetail {
  full,
  // What the package table shows: name, version, build time, note, the bundle's name and
  // `disabled`. The text form's lists and file list, the "enabled" marker and the schedule
  // are not read; those fields keep their defaults.
  table,
};

// Stores the architecture in the repository, then adds one record per installed package.
// False, with no records, when the database root cannot be listed.
[[nodiscard]] bool open_repository(Repository& repository, const std::string& architecture,
                                   RecordDetail detail = RecordDetail::full);

// Completes a record from its text form (only when no image gave it a version), its
// markers and its schedule. A broken text form schedules the package for uninstall.
void read_database_record(Package& package);

// Adds the paths of a "files" list to `files`: one per line, with "/" put before one that
// lacks it; empty lines and lines too long to be a path are passed over.
void read_file_list_lines(std::istream& in, PathSet& files);

// Appends the entries of a list file ("name min max" or "name min max weight" per
// record, whitespace-separated). A missing file is an empty list. False when a record
// breaks off; the complete records before it stay.
bool read_list_file(const std::string& path, std::vector<Dependency>& list, bool with_weight);
