#include "install/remove_package.h"

#include <sys/stat.h>

#include "database/database_reader.h"
#include "install/install_package.h"
#include "package/package.h"
#include "package/repository.h"
#include "package/system_paths.h"
#include "transaction/manifest.h"

namespace {


enum class Owner {
  none,
  from_database,  // only records read from the database list the path: their file is on disk
  staged_by_run,  // a record installed by this run lists it: the file staged is maybe its own
};

// Who else lists `path` as a file of its own.
Owner other_owner(const Package& package, const std::string& path, const Repository& installed) {
  Owner owner = Owner::none;
  for (const auto& other : installed.packages()) {
    if (other.get() == &package || !other->files.contains(path)) continue;
    if (other->installed_this_run) return Owner::staged_by_run;
    owner = Owner::from_database;
  }
  return owner;
}

// Whether extraction could have written the recorded path: a safe name, not a directory
// now, and neither led out of the flash nor into its database, by its spelling or a link.
bool may_remove(const std::string& path, FlashBounds& bounds) {
  struct stat info;
  const std::string target = FLASH_DIR + path;
  return is_safe_entry_name(path) && is_file_target(path, normalized_path(path)) &&
         !(::lstat(target.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) &&
         bounds.holds_file(target);
}

}  // namespace

void remove_installed_package(Package& package, Manifest& manifest, const Repository& installed) {
  FlashBounds bounds;
  for (const std::string& path : package.files) {
    if (!may_remove(path, bounds)) continue;
    const std::string target = FLASH_DIR + path;
    switch (other_owner(package, path, installed)) {
      case Owner::none:
        manifest.remove_path(target);
        break;
      case Owner::from_database:
        // The file on the flash stays the other package's; what this run staged here goes.
        if (package.installed_this_run) manifest.withdraw_staged(target);
        break;
      case Owner::staged_by_run:
        break;
    }
  }
  package.files.clear();
  const std::string dir = database_dir(package);
  manifest.drop_below(dir);
  if (bounds.place(dir + "image") == FlashBounds::Place::database) {
    manifest.remove_path(dir);
    manifest.remove_path(dir + "image");
  }
  struct stat info;
  // A second link means somebody else still boots from it. Without one on the flash, what
  // this run staged there was this package's, when it was installed by this run.
  if ((package.header_flags & HEADER_BOOT_IMAGE) &&
      (::stat(BOOT_IMAGE, &info) == 0 ? info.st_nlink == 1 : package.installed_this_run)) {
    manifest.remove_path(BOOT_IMAGE);
  }
  package.action = ACTION_NONE;
}
