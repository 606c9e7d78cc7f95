#include "planning/admission.h"

#include <vector>

#include "package/board_probe.h"
#include "package/console.h"
#include "package/relations.h"
#include "package/repository.h"

namespace {

constexpr Version FIRST_LARGE_BLOCK_VERSION = 0x03146302;  // 3.20rc2

bool is_base_system(const std::string& name) {
  return name == "system" || name.compare(0, 7, "velmora") == 0;
}

}  // namespace

bool check_system_limits(Console& console, const PackageInfo& package, bool report) {
  const Version minimum = query_min_version();
  if (package.version < minimum) {
    if (report) {
      console.error("omitting package %s: min Velmora version is %s", display_name(package).c_str(),
                    version_text(minimum).c_str());
    }
    return false;
  }
  if (package.version < FIRST_LARGE_BLOCK_VERSION && flash_has_large_erase_blocks()) {
    if (report) {
      console.warning("omitting package %s: it does not support current file system",
                      display_name(package).c_str());
    }
    return false;
  }
  return true;
}

namespace {

// The installed package an offer is judged against.
const Package* judged_namesake(const Repository& repository, const PackageInfo& package) {
  const Package* installed = repository.find(package.name);
  return installed != nullptr && installed->name != "branding" ? installed : nullptr;
}

}  // namespace

bool is_installed_already(const Repository& repository, const PackageInfo& package) {
  const Package* installed = judged_namesake(repository, package);
  return installed != nullptr && compare(package, *installed) == 0;
}

bool is_installed_newer(const Repository& repository, const PackageInfo& package) {
  const Package* installed = judged_namesake(repository, package);
  return installed != nullptr && compare(package, *installed) < 0;
}

uint32_t admit(const Repository& repository, Console& console, const PackageInfo& package,
               uint32_t allowed) {
  uint32_t result = 0;
  bool reported = false;
  const std::string name = display_name(package);

  const Package* installed = judged_namesake(repository, package);
  if (installed != nullptr) {
    const int order = compare(package, *installed);
    if (order < 0) {
      result = ADMIT_DOWNGRADE;
      if (!(allowed & ADMIT_DOWNGRADE)) {
        console.warning("omitting package %s: newer package %s is already installed", name.c_str(),
                        display_name(*installed).c_str());
        reported = true;
      }
    } else if (order == 0) {
      result = ADMIT_SAME;
      if (!(allowed & ADMIT_SAME)) {
        console.warning("omitting package %s: it is already installed", name.c_str());
        reported = true;
      }
    } else {
      result = ADMIT_UPGRADE;
    }
  }

  const bool may_report_unsatisfied = !(allowed & ADMIT_UNSATISFIED);
  if (is_base_system(package.name) &&
      !check_system_limits(console, package, !reported && may_report_unsatisfied)) {
    result |= ADMIT_UNSATISFIED;
    if (may_report_unsatisfied) reported = true;
  }

  if (!package.architecture.empty() && package.architecture != repository.architecture) {
    if (!reported && may_report_unsatisfied) {
      console.error("can not install %s: it is not made for %s, but for %s", name.c_str(),
                    repository.architecture.c_str(), package.architecture.c_str());
      reported = true;
    }
    result |= ADMIT_UNSATISFIED;
  }

  for (const Dependency& wanted : package.depends) {
    std::vector<Package*> providers;
    repository.find_providers(wanted, false, providers);
    if (!providers.empty()) continue;
    if (!reported && may_report_unsatisfied) {
      console.error("can not install %s: %s is not installed, but is required", name.c_str(),
                    display_requirement(wanted).c_str());
      reported = true;
    }
    result |= ADMIT_UNSATISFIED;
    break;
  }

  if (const Package* excluding = repository.find_conflicting(package)) {
    if (!reported && !(allowed & ADMIT_CONFLICT)) {
      console.error("can not install %s: it conflicts with %s", name.c_str(),
                    display_name(*excluding).c_str());
    }
    result |= ADMIT_CONFLICT;
  }
  return result;
}
