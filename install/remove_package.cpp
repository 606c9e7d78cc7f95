#include "install/remove_package.h"

#include <sys/stat.h>

#include "database/database_reader.h"
#include "install/install_package.h"
#include "package/package.h"
#include "package/repository.h"
#include "transaction/manifest.h"

namespace {

constexpr const char* FLASH = "/flash";

enum class Owner {
  none,
  earlier,        // another record lists the path, and was installed before this one
  later_install,  // a record installed by this run after this one lists it: its file is staged
};

// Who else lists `path` as a file of its own. Records installed by this run stand in install
// order after the ones loaded.
Owner other_owner(const Package& package, const std::string& path, const Repository& installed) {
  Owner owner = Owner::none;
  bool after = false;
  for (const auto& other : installed.packages) {
    if (other.get() == &package) {
      after = true;
      continue;
    }
    if (!other->files.contains(path)) continue;
    if (after && other->installed_this_run) return Owner::later_install;
    owner = Owner::earlier;
  }
  return owner;
}

// Whether extraction could have written the recorded path: a safe name outside the
// database, not a directory now, and not led out of the flash by a link.
bool may_remove(const std::string& path, FlashBounds& bounds) {
  struct stat info;
  const std::string target = FLASH + path;
  return is_safe_entry_name(path) && is_file_target(path, path) &&
         !(::lstat(target.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) &&
         bounds.contains(target);
}

}  // namespace

void remove_installed_package(Package& package, Manifest& manifest, const Repository& installed) {
  FlashBounds bounds;
  for (const std::string& path : package.files) {
    if (!may_remove(path, bounds)) continue;
    const std::string target = FLASH + path;
    switch (other_owner(package, path, installed)) {
      case Owner::none:
        manifest.remove_path(target);
        break;
      case Owner::earlier:
        // The file stays the other package's; what this run staged for it here goes.
        if (package.installed_this_run) manifest.withdraw_staged(target);
        break;
      case Owner::later_install:
        break;
    }
  }
  package.files.clear();
  const std::string dir = database_dir(package);
  manifest.drop_below(dir);
  if (bounds.contains(dir + "image")) {
    manifest.remove_path(dir);
    manifest.remove_path(dir + "image");
  }
  struct stat info;
  // A second link means somebody else still boots from it; without one on the flash, what
  // this run staged there goes.
  if ((package.header_flags & HEADER_BOOT_IMAGE) &&
      (::stat(BOOT_IMAGE, &info) != 0 || info.st_nlink == 1)) {
    manifest.remove_path(BOOT_IMAGE);
  }
  package.action = ACTION_NONE;
}
