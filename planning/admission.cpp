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

namespace {

// One admission: the outcome bits gathered check by check, and at most one message, about
// the first problem the caller's mask does not accept.
class Admission {
 public:
  Admission(const Repository& repository, Console& console, const PackageInfo& package,
            uint32_t allowed)
      : repository_(repository),
        console_(console),
        package_(package),
        allowed_(allowed),
        name_(display_name(package)),
        may_report_unsatisfied_(!(allowed & ADMIT_UNSATISFIED)) {}

  uint32_t run() {
    judge_against_namesake();
    check_board();
    check_architecture();
    check_dependencies();
    check_conflicts();
    return result_;
  }

 private:
  void judge_against_namesake() {
    const Package* installed = judged_namesake(repository_, package_);
    if (installed == nullptr) return;
    const int order = compare(package_, *installed);
    if (order < 0) {
      result_ = ADMIT_DOWNGRADE;
      if (!(allowed_ & ADMIT_DOWNGRADE)) {
        console_.warning("omitting package %s: newer package %s is already installed",
                         name_.c_str(), display_name(*installed).c_str());
        reported_ = true;
      }
    } else if (order == 0) {
      result_ = ADMIT_SAME;
      if (!(allowed_ & ADMIT_SAME)) {
        console_.warning("omitting package %s: it is already installed", name_.c_str());
        reported_ = true;
      }
    } else {
      result_ = ADMIT_UPGRADE;
    }
  }

  void check_board() {
    if (!is_base_system(package_.name) ||
        check_system_limits(console_, package_, !reported_ && may_report_unsatisfied_)) {
      return;
    }
    result_ |= ADMIT_UNSATISFIED;
    if (may_report_unsatisfied_) reported_ = true;
  }

  // Notes a problem that makes the package unusable here; true when it is the one to report.
  bool unsatisfied() {
    result_ |= ADMIT_UNSATISFIED;
    if (reported_ || !may_report_unsatisfied_) return false;
    reported_ = true;
    return true;
  }

  void check_architecture() {
    if (package_.architecture.empty() || package_.architecture == repository_.architecture) return;
    if (unsatisfied()) {
      console_.error("can not install %s: it is not made for %s, but for %s", name_.c_str(),
                     repository_.architecture.c_str(), package_.architecture.c_str());
    }
  }

  void check_dependencies() {
    for (const Dependency& wanted : package_.depends) {
      std::vector<Package*> providers;
      repository_.find_providers(wanted, false, providers);
      if (!providers.empty()) continue;
      if (unsatisfied()) {
        console_.error("can not install %s: %s is not installed, but is required", name_.c_str(),
                       display_requirement(wanted).c_str());
      }
      return;
    }
  }

  void check_conflicts() {
    const Package* excluding = repository_.find_conflicting(package_);
    if (excluding == nullptr) return;
    if (!reported_ && !(allowed_ & ADMIT_CONFLICT)) {
      console_.error("can not install %s: it conflicts with %s", name_.c_str(),
                     display_name(*excluding).c_str());
    }
    result_ |= ADMIT_CONFLICT;
  }

  const Repository& repository_;
  Console& console_;
  const PackageInfo& package_;
  const uint32_t allowed_;
  const std::string name_;
  const bool may_report_unsatisfied_;
  uint32_t result_ = 0;
  bool reported_ = false;
};

}  // namespace

uint32_t admit(const Repository& repository, Console& console, const PackageInfo& package,
               uint32_t allowed) {
  return Admission(repository, console, package, allowed).run();
}
