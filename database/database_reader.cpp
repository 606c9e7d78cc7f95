#include "database/database_reader.h"

#include "installer/repository.h"

std::string database_dir(const PackageInfo& package) {
  return std::string(DATABASE_ROOT) + package.name + "/";
}

void open_repository(Repository& repository, bool quiet, const std::string& architecture) {
  repository.quiet = quiet;
  repository.architecture = architecture;
}
