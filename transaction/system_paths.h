// Places on the router that the commit treats apart. A file lying directly in a download
// folder is a download: the transaction that consumes it deletes it last. The database's
// entries, and the boot image that a package's entry may link to, are what tell which
// packages are installed: they change after every other file, so that they never tell of
// files that a cut or a failure left out.
#pragma once

#include <string>

constexpr const char* DOWNLOAD_FOLDER = "/rw/pckg/.download/";
constexpr const char* FLASH_FOLDER = "/flash/rw/pckg/";
constexpr const char* SYSTEM_FOLDER = "/flash/var/pckg/";
constexpr const char* DATABASE_ROOT = "/flash/var/pdb/";
constexpr const char* BOOT_IMAGE = "/flash/bootimage";

// A file directly in one of the three download folders.
bool is_download(const std::string& path);
// A path of the database or the boot image.
bool is_record(const std::string& path);
