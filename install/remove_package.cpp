#include "install/remove_package.h"

#include <sys/stat.h>

#include "database/database_reader.h"
#include "install/install_package.h"
#include "package/package.h"
#include "transaction/manifest.h"

void remove_installed_package(Package& package, Manifest& manifest) {
  for (const std::string& path : package.files) {
    // Extraction writes only regular files under safe names; a recorded "/" or "/etc", or
    // a path that is a directory now, would take other packages' files with it.
    struct stat info;
    const std::string target = "/flash" + path;
    if (!is_safe_entry_name(path) ||
        (::lstat(target.c_str(), &info) == 0 && S_ISDIR(info.st_mode))) {
      continue;
    }
    manifest.remove_path(target);
  }
  package.files.clear();
  const std::string dir = database_dir(package);
  manifest.remove_path(dir);
  manifest.remove_path(dir + "image");
  struct stat info;
  // A second link means somebody else still boots from it.
  if ((package.header_flags & HEADER_BOOT_IMAGE) && ::stat(BOOT_IMAGE, &info) == 0 &&
      info.st_nlink == 1) {
    manifest.remove_path(BOOT_IMAGE);
  }
  package.action = ACTION_NONE;
}
