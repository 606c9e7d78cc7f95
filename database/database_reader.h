// Loading the installed packages from the database under "/flash/var/pdb/".
#pragma once

#include <string>

#include "package/package.h"

class Repository;

constexpr const char* DATABASE_ROOT = "/flash/var/pdb/";

// "/flash/var/pdb/" + name + "/".
std::string database_dir(const PackageInfo& package);

// Stores the quiet switch and the architecture in the repository, then loads one record
// per installed package. Loading is not yet implemented: the package list stays empty.
void open_repository(Repository& repository, bool quiet, const std::string& architecture);
