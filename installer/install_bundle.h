// Installing a bundle read from a part stream: its header, its member list and each member
// in turn, then the retirement of the old members it no longer has.
#pragma once

#include <cstdint>
#include <string>

#include "planning/offer_decision.h"

class Console;
class Manifest;
class PartStream;
class Repository;

// Results of install_bundle.
enum : int {
  BUNDLE_INSTALLED = 0,
  BUNDLE_UNREADABLE = 1,  // header unreadable, lists of its own, or its record not written
  BUNDLE_REFUSED = 2,     // admission refused it, a member failed, or parts after the members
  BUNDLE_EMPTY = 3,       // no member
};

// Installs the bundle whose header part `stream` stands on, with its members; the directory
// result is given on success only.
int install_bundle(Console& console, Repository& repository, Manifest& manifest, PartStream& stream,
                   uint32_t allow, const UserForcedMap& user_forced, std::string* database_dir,
                   bool* boot_image);
