// The places on the router that the installer knows by name. The download folders, the
// database and the boot image are also what the commit treats apart. A file lying directly in a download
// folder is a download: the transaction that consumes it deletes it last. The database's
// entries, and the boot image that a package's entry may link to, are what tell which
// packages are installed: they change after every other file, so that they never tell of
// files that a cut or a failure left out.
#pragma once

constexpr const char* FLASH_DIR = "/flash";  // the file system packages install into
constexpr const char* RAM_DIR = "/ram";      // lost at a reboot
constexpr const char* TMP_DIR = "/tmp";

constexpr const char* DOWNLOAD_FOLDER = "/rw/pckg/.download/";
constexpr const char* FLASH_FOLDER = "/flash/rw/pckg/";
constexpr const char* SYSTEM_FOLDER = "/flash/var/pckg/";
constexpr const char* DATABASE_ROOT = "/flash/var/pdb/";
constexpr const char* BOOT_IMAGE = "/flash/bootimage";
constexpr const char* SECOND_IMAGE_DIR = "/rw/pckg/.images/";  // images kept beside the database
constexpr const char* SCHEDULE_ROOT = "/ram/pdb/";             // scheduled actions, by key
constexpr const char* SAVED_MANIFEST_PATH = "/ram/MANIFEST";   // a transaction kept for --commit
constexpr const char* POST_LOG_PATH = "/flash/postlog";
constexpr const char* DOWNGRADE_MARKER = "/ram/DOWNGRADE";
constexpr const char* IGNORE_MARKER = "/rw/pckg/.download/IGNORE";
constexpr const char* PACKAGES_CHANGED_PATH = "/flash/PCKGS_CHANGED";
constexpr const char* UPGRADED_MARKER = "/flash/UPGRADED";

