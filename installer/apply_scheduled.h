// The scheduled actions of the installed packages, planned and carried out.
#pragma once

#include "package/console.h"

class Manifest;
class Repository;

// Plans the scheduled uninstalls, disables and enables and stages them; a refused plan
// changes nothing. Records uninstalled leave `repository` and are destroyed: a pointer taken
// before the call must be looked up again.
void apply_scheduled(Console& console, Repository& repository, Manifest& manifest,
                     ReportLevel report);
