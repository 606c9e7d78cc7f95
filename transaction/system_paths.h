// Places on the router that the commit treats apart. A file lying directly in a download
// folder is a download: the transaction that consumes it deletes it last. The database's
// entries are renamed into place after every other file, so that an entry never tells of
// files that a cut left out.
#pragma once

constexpr const char* DOWNLOAD_FOLDER = "/rw/pckg/.download/";
constexpr const char* FLASH_FOLDER = "/flash/rw/pckg/";
constexpr const char* SYSTEM_FOLDER = "/flash/var/pckg/";
constexpr const char* DATABASE_ROOT = "/flash/var/pdb/";
