#include "planning/schedule.h"

#include <algorithm>

#include "database/database_writer.h"
#include "install/remove_package.h"
#include "package/relations.h"
#include "package/repository.h"
#include "planning/schedule_plan.h"

bool apply_scheduled(Repository& repository, Manifest& manifest, int report) {
  std::vector<Package*> removals, enables;
  if (!plan_scheduled(repository, removals, enables, report)) return false;
  const bool changed = !removals.empty() || !enables.empty();
  apply_removals(repository, manifest, removals, report);
  enable_packages(repository, manifest, enables, report);
  return changed;
}

void apply_removals(Repository& repository, Manifest& manifest,
                    const std::vector<Package*>& removals, int report) {
  for (Package* package : removals) {
    const std::string name = display_name(*package);
    if (package->action != ACTION_UNINSTALL) {
      if (report >= 1) repository.show_status("disabling " + name + "...");
      mark_disabled(*package, manifest);
      if (report >= 1) repository.info("disabled %s", name.c_str());
      continue;
    }
    if (report >= 2) repository.show_status("uninstalling " + name + "...");
    remove_installed_package(*package, manifest, repository);
    auto& packages = repository.packages;
    packages.erase(std::find_if(packages.begin(), packages.end(),
                                [package](const auto& held) { return held.get() == package; }));
    if (report >= 2) repository.info("uninstalled %s", name.c_str());
  }
}

void enable_packages(Repository& repository, Manifest& manifest,
                     const std::vector<Package*>& packages, int report) {
  for (Package* package : packages) {
    const std::string name = display_name(*package);
    if (report >= 1) repository.show_status("enabling " + name + "...");
    mark_enabled(*package, manifest);
    if (report >= 1) repository.info("enabled %s", name.c_str());
  }
}
