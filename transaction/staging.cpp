#include "transaction/staging.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "package/system_paths.h"
#include "transaction/file_ops.h"

namespace {

constexpr const char* TEMP_PREFIX = "tmp";
constexpr size_t TEMP_NAME_LENGTH = 9;  // "tmp" and the six characters mkstemp picks
const char* const FIXED_ROOTS[] = {"/flash", "/ram", "/tmp"};

bool is_staged_name(const char* name) {
  return std::strncmp(name, TEMP_PREFIX, 3) == 0 && std::strlen(name) == TEMP_NAME_LENGTH;
}

std::string base_name(const std::string& path) { return path.substr(path.rfind('/') + 1); }

// The directories mounted directly below "/flash" ("/flash/boot"): reading one directory
// finds them, where a walk of the flash would read thousands.
void add_flash_mounts(std::set<std::string>& roots) {
  struct stat flash;
  if (::stat(FLASH_DIR, &flash) != 0) return;
  DIR* dir = ::opendir(FLASH_DIR);
  if (dir == nullptr) return;
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    const std::string path = std::string(FLASH_DIR) + "/" + entry->d_name;
    struct stat info;
    if (::lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_dev != flash.st_dev)
      roots.insert(path);
  }
  ::closedir(dir);
}

// A database entry the commit moved aside holds only plain files.
void remove_moved_entry(const std::string& path) {
  DIR* dir = ::opendir(path.c_str());
  if (dir == nullptr) return;
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] != '.') ::unlink((path + "/" + entry->d_name).c_str());
  }
  ::closedir(dir);
  ::rmdir(path.c_str());
}

void clear_area(const std::string& area, const std::set<std::string>& keep) {
  DIR* dir = ::opendir(area.c_str());
  if (dir == nullptr) return;
  while (const dirent* entry = ::readdir(dir)) {
    if (!is_staged_name(entry->d_name)) continue;
    const std::string path = area + "/" + entry->d_name;
    struct stat info;
    if (keep.count(path) != 0 || ::lstat(path.c_str(), &info) != 0) continue;
    if (S_ISDIR(info.st_mode)) {
      remove_moved_entry(path);
    } else {
      ::unlink(path.c_str());
    }
  }
  ::closedir(dir);
}

}  // namespace

std::string StagingAreas::top_of(const std::string& dir, dev_t& device) {
  struct stat info;
  if (::stat(dir.c_str(), &info) != 0) return {};
  device = info.st_dev;
  std::string top = dir;
  while (top != "/" && top != ".") {
    const std::string parent = parent_dir(top);
    if (::stat(parent.c_str(), &info) != 0 || info.st_dev != device) break;
    top = parent;
  }
  return top;
}

std::string StagingAreas::path_for(const std::string& dir) {
  const std::string found = find(dir);
  if (!found.empty()) return found;
  dev_t device = 0;
  const std::string top = top_of(dir, device);
  return top.empty() ? top : (top == "/" ? std::string() : top) + "/" + STAGING_NAME;
}

std::string StagingAreas::area_of(const std::string& dir, bool create) {
  struct stat info;
  if (::stat(dir.c_str(), &info) != 0) return {};
  if (const auto known = areas_.find(info.st_dev); known != areas_.end()) return known->second;
  dev_t device = 0;
  const std::string top = top_of(dir, device);
  if (top.empty()) return {};
  const std::string area = (top == "/" ? std::string() : top) + "/" + STAGING_NAME;
  // A link or a file standing there would send staged files elsewhere: refused.
  if (!create) errno = EEXIST;
  if ((!create || ::mkdir(area.c_str(), 0700) != 0) &&
      (errno != EEXIST || ::lstat(area.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) ||
       info.st_dev != device)) {
    if (errno == EEXIST || errno == 0) errno = ENOTDIR;
    return {};
  }
  areas_.emplace(device, area);
  return area;
}

std::string StagingAreas::new_file(const std::string& dir) {
  std::string name = dir_for(dir);
  if (name.empty()) return name;
  name += "/tmpXXXXXX";
  const int fd = ::mkostemp(&name[0], O_CLOEXEC);
  if (fd < 0) return {};
  ::close(fd);
  return name;
}

bool StagingAreas::holds(const std::string& path) {
  if (!is_staged_name(base_name(path).c_str())) return false;
  const std::string area = parent_dir(path);
  if (base_name(area) != STAGING_NAME) return false;
  // Not a link to a directory elsewhere, whose files are somebody else's.
  struct stat info;
  if (::lstat(area.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) return false;
  const std::string top = parent_dir(area);
  dev_t device = 0;
  const std::string found = top_of(top, device);
  return !found.empty() && found == top && device == info.st_dev;
}

void clear_staging(StagingAreas& areas, const std::set<std::string>& keep) {
  std::set<std::string> roots(std::begin(FIXED_ROOTS), std::end(FIXED_ROOTS));
  add_flash_mounts(roots);
  std::set<std::string> cleared;
  for (const std::string& root : roots) {
    struct stat info;
    if (::stat(root.c_str(), &info) != 0) continue;
    const std::string area = areas.area_of(root, false);
    if (!area.empty() && cleared.insert(area).second) clear_area(area, keep);
  }
}
