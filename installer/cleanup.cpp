#include "installer/cleanup.h"

#include <algorithm>

#include "package/repository.h"
#include "installer/apply_scheduled.h"

namespace {

constexpr Version LAST_OLD_SYSTEM = 0x031665FF;  // below 3.22 final

bool made_for_this_system(const Package& package) {
  if (package.name == "tarn" || package.name == "disk-drivers" || package.name == "system" ||
      package.is_bundle) {
    return true;
  }
  return std::any_of(package.depends.begin(), package.depends.end(), [](const Dependency& needed) {
    return needed.name == "system" && needed.min > LAST_OLD_SYSTEM;
  });
}

}  // namespace

void cleanup(Console& console, Repository& repository, Manifest& manifest) {
  apply_scheduled(console, repository, manifest, ReportLevel::silent);
  for (const auto& package : repository.packages()) {
    if (!made_for_this_system(*package)) package->action = ACTION_UNINSTALL;
  }
  apply_scheduled(console, repository, manifest, ReportLevel::changes);
}
