#include "installer/apply_scheduled.h"

#include "install/scheduled_actions.h"
#include "planning/schedule_plan.h"

void apply_scheduled(Console& console, Repository& repository, Manifest& manifest,
                     ReportLevel report) {
  std::vector<Package*> removals, enables;
  if (!plan_scheduled(repository, console, removals, enables, report)) return;
  apply_removals(console, repository, manifest, removals, report);
  enable_packages(console, manifest, enables, report);
}
