// Installing one offered package read from a part stream: admitted and given its state by
// planning, installed in place of its namesake by install/, the package set kept in step
// and the scheduled actions planned again.
#pragma once

#include <cstdint>
#include <string>

#include "package/package.h"
#include "planning/offer_decision.h"

class Console;
class Manifest;
class PartStream;
class Repository;

// Installs the package whose header part `stream` stands on. `bundle` (may be null) is the
// reference of the bundle being installed; `database_dir` and `boot_image` (may be null)
// receive, for a record that was installed anew, the directory to keep the package file in
// (packages with an image part only) and whether it carries the system image that is to be
// kept whole; they are left alone otherwise, since a file that was not read to its end and
// verified must not be kept. Answers the record that stands installed afterwards (the new
// one, or the installed namesake when the offer was the same version, or a member passed
// over, whose signature is checked all the same), or null on failure.
Package* install_single(Console& console, Repository& repository, Manifest& manifest,
                        PartStream& stream, uint32_t allow, const UserForcedMap& user_forced,
                        const Dependency* bundle, std::string* database_dir, bool* boot_image);

// Whether installing `package` keeps its file whole as "/flash/bootimage": it carries the
// system image and the environment asks for it ("bootimage").
bool boot_image_kept(const PackageInfo& package);
