#include "install/remove_package.h"

#include <sys/stat.h>

#include "database/database_reader.h"
#include "install/install_package.h"
#include "package/package.h"
#include "package/repository.h"
#include "transaction/manifest.h"

namespace {

constexpr const char* FLASH = "/flash";

// Another record lists the path as its own file: it stays.
bool is_owned_elsewhere(const Package& package, const std::string& path,
                        const Repository& installed) {
  for (const auto& other : installed.packages) {
    if (other.get() != &package && other->files.contains(path)) return true;
  }
  return false;
}

}  // namespace

void remove_installed_package(Package& package, Manifest& manifest, const Repository& installed) {
  FlashBounds bounds;
  for (const std::string& path : package.files) {
    // Extraction writes only regular files under safe names, within the flash; a recorded
    // "/" or "/etc", a path that is a directory now, or one that a link leads elsewhere
    // would take what is not this package's with it.
    struct stat info;
    const std::string target = FLASH + path;
    if (!is_safe_entry_name(path) ||
        (::lstat(target.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) ||
        !bounds.contains(target) || is_owned_elsewhere(package, path, installed)) {
      continue;
    }
    manifest.remove_path(target);
  }
  package.files.clear();
  const std::string dir = database_dir(package);
  manifest.drop_below(dir);
  if (bounds.contains(dir + "image")) {
    manifest.remove_path(dir);
    manifest.remove_path(dir + "image");
  }
  struct stat info;
  // A second link means somebody else still boots from it.
  if ((package.header_flags & HEADER_BOOT_IMAGE) && ::stat(BOOT_IMAGE, &info) == 0 &&
      info.st_nlink == 1) {
    manifest.remove_path(BOOT_IMAGE);
  }
  package.action = ACTION_NONE;
}
