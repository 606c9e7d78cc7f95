#include "install/scheduled_actions.h"

#include "database/database_writer.h"
#include "install/remove_package.h"
#include "package/relations.h"
#include "package/repository.h"

void apply_removals(Console& console, Repository& repository, Manifest& manifest,
                    const std::vector<Package*>& removals, ReportLevel report) {
  for (Package* package : removals) {
    const std::string name = display_name(*package);
    if (package->action != ACTION_UNINSTALL) {
      if (report >= ReportLevel::changes) console.show_status("disabling " + name + "...");
      mark_disabled(*package, manifest);
      // A dry run tells every change, also those the run makes without a word.
      if (report >= ReportLevel::changes || console.dry_run) {
        console.change(Console::Change::disable, name);
      }
      continue;
    }
    const bool loud = report >= ReportLevel::changes_and_uninstalls;
    if (loud) console.show_status("uninstalling " + name + "...");
    remove_installed_package(*package, manifest, repository);
    repository.remove(package);
    if (loud || console.dry_run) console.change(Console::Change::uninstall, name);
  }
}

void enable_packages(Console& console, Manifest& manifest, const std::vector<Package*>& packages,
                     ReportLevel report) {
  for (Package* package : packages) {
    const std::string name = display_name(*package);
    if (report >= ReportLevel::changes) console.show_status("enabling " + name + "...");
    mark_enabled(*package, manifest);
    if (report >= ReportLevel::changes || console.dry_run) {
      console.change(Console::Change::enable, name);
    }
  }
}

bool remove_named(Repository& repository, Manifest& manifest, const std::string& name) {
  const long index = repository.find_index(name);
  if (index < 0) return false;
  remove_installed_package(*repository.packages()[size_t(index)], manifest, repository);
  repository.remove_at(size_t(index));
  return true;
}
