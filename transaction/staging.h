// Where the transaction's temporary files live: one directory ".staging" at the top of each
// file system that receives them, so that a later run finds the leftovers of an interrupted
// one without walking the flash, and a staged file reaches its place by a rename.
#pragma once

#include <sys/types.h>

#include <map>
#include <set>
#include <string>

constexpr const char* STAGING_NAME = ".staging";

class StagingAreas {
 public:
  // The staging directory of the file system that holds the existing directory `dir`,
  // made when missing; empty with errno set when it cannot be had.
  std::string dir_for(const std::string& dir) { return area_of(dir, true); }
  // A new empty file with a staged name in the staging directory of the file system that
  // holds `dir`, for the caller to fill or to take the place of; empty with errno set on
  // failure.
  std::string new_file(const std::string& dir);
  // As dir_for, but empty where the staging directory does not exist yet.
  std::string find(const std::string& dir) { return area_of(dir, false); }
  // Where dir_for would put the staging directory, without making it.
  std::string path_for(const std::string& dir);
  // Whether `path` names a file in the staging directory of its own file system, with the
  // name a staged file gets ("tmp" and six characters).
  bool holds(const std::string& path);

 private:
  friend void clear_staging(StagingAreas& areas, const std::set<std::string>& keep);
  // As dir_for; without `create`, empty where the directory is missing.
  std::string area_of(const std::string& dir, bool create);
  std::string top_of(const std::string& dir, dev_t& device);
  std::map<dev_t, std::string> areas_;  // staging directory by device
};

// Deletes the staged files that earlier runs left in every staging directory this system
// uses ("/flash", a file system mounted directly below it, "/ram", "/tmp"), except those
// in `keep`, and empties and deletes the database entries a commit moved there. Nothing
// else is deleted: not a file of another name, not what lies deeper.
void clear_staging(StagingAreas& areas, const std::set<std::string>& keep);
