// Install planning: one package or a bundle read from a part stream is admitted, given the
// state the user chose or a conflict forces, installed in place of its namesake, and the
// Repository kept in step; a bundle's old members that the new one lacks are retired.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "package/package.h"

class Manifest;
class PartStream;
class Repository;

// Package name -> the disabled state the user chose for it.
using UserForcedMap = std::map<std::string, bool>;

// Results of install_bundle.
enum : int {
  BUNDLE_INSTALLED = 0,
  BUNDLE_UNREADABLE = 1,  // header unreadable, lists of its own, or its record not written
  BUNDLE_REFUSED = 2,     // admission refused it, a member failed, or parts after the members
  BUNDLE_EMPTY = 3,       // no member
};

// Installs the package whose header part `stream` stands on. `bundle` (may be null) is the
// reference of the bundle being installed; `database_dir` and `boot_image` (may be null)
// receive, for a record that was installed anew, the directory to keep the package file in
// (packages with an image part only) and whether it carries the system image that is to be
// kept whole; they are left alone otherwise, since a file that was not read to its end and
// verified must not be kept. Answers the record that stands installed afterwards (the new
// one, or the installed namesake when the offer was the same version, or a member passed
// over, whose signature is checked all the same), or null on failure.
Package* install_single(Repository& repository, Manifest& manifest, PartStream& stream,
                        uint32_t allow, const UserForcedMap& user_forced, const Dependency* bundle,
                        std::string* database_dir, bool* boot_image);

// Installs the bundle whose header part `stream` stands on, with its members; the directory
// result is given on success only.
int install_bundle(Repository& repository, Manifest& manifest, PartStream& stream, uint32_t allow,
                   const UserForcedMap& user_forced, std::string* database_dir, bool* boot_image);

// Whether installing `package` keeps its file whole as "/flash/bootimage": it carries the
// system image and the environment asks for it ("bootimage").
bool boot_image_kept(const PackageInfo& package);

// Stages the removal of the first record named `name` and destroys it; false when none.
bool remove_named(Repository& repository, Manifest& manifest, const std::string& name);
