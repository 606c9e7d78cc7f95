// Installing one package container from an input stream: a package file of the download
// folders, or standard input in stream mode.
#pragma once

#include <cstdint>
#include <istream>
#include <streambuf>
#include <string>

#include "planning/offer_decision.h"

class Console;
class Manifest;
class Repository;

// Installs the package or bundle read from `in`, copying every byte read to `tee` when
// given. Returns 0 on success; 1 when a single package failed, or the results of
// install_bundle. On success `database_dir` (when given) receives the directory to keep the
// package file in, for a package with an image part, and `boot_image` (when given) whether
// the file is the system image to keep at "/flash/bootimage".
int stream_install(Console& console, Repository& repository, Manifest& manifest, std::istream& in,
                   uint32_t allow,
                   const UserForcedMap& user_forced, std::streambuf* tee, std::string* database_dir,
                   bool* boot_image);
