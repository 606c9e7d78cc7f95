// Removing an installed package: its files, its database entry and, when it carries the
// system image, the boot image, all staged in the transaction.
#pragma once

#include "transaction/system_paths.h"

class Manifest;
class Package;

// Stages the removal of every recorded file ("/flash" + each path of `files`, which is then
// emptied) except paths that extraction could not have written (unsafe names, directories),
// of the database directory and its image, and of "/flash/bootimage" when the package
// carries the system image and no other name links to that file. Sets `action` to none.
void remove_installed_package(Package& package, Manifest& manifest);
