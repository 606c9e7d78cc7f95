// Removing an installed package: its files, its database entry and, when it carries the
// system image, the boot image, all staged in the transaction.
#pragma once

#include "package/system_paths.h"

class Manifest;
class Package;
class Repository;

// Stages the removal of every recorded file ("/flash" + each path of `files`, which is then
// emptied), of the database directory and its image, and of "/flash/bootimage" when the
// package carries the system image and no other name links to that file. Whatever this run
// staged inside the database directory is dropped. Left alone: paths that extraction could
// not have written (unsafe names, directories, paths that lead out of the flash or into its
// database, spelled so or through a link), and files that another record of `installed`
// lists; of those, a file this run staged for the package is dropped when only records read
// from the database list it (theirs is on the flash). Sets `action` to none.
void remove_installed_package(Package& package, Manifest& manifest, const Repository& installed);
