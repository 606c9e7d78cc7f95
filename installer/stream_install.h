// Installing one package container from an input stream.
#pragma once

#include <cstdint>
#include <istream>
#include <map>
#include <streambuf>
#include <string>

class Manifest;
class Repository;

// Package name -> disabled state chosen by the user for it.
using UserForcedMap = std::map<std::string, bool>;

// Installs the package or bundle read from `in`, copying every byte read to `tee` when
// given. Returns 0 on success, else 1, 2 or 3. On success `database_dir` (when given)
// receives the installed package's database directory and `boot_image` (when given)
// whether the package carries the boot image. Not yet implemented: fails with 1.
int stream_install(Repository& repository, Manifest& manifest, std::istream& in, uint32_t allow,
                   const UserForcedMap& user_forced, std::streambuf* tee,
                   std::string* database_dir, bool* boot_image);
