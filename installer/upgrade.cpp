#include "installer/upgrade.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <set>

#include "database/database_reader.h"
#include "format/package_reader.h"
#include "install/remove_package.h"
#include "installer/stream_install.h"
#include "package/repository.h"
#include "planning/admission.h"
#include "planning/candidate_order.h"
#include "planning/schedule.h"
#include "transaction/commit.h"
#include "transaction/file_sink.h"
#include "transaction/manifest.h"

namespace {

bool ends_with(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

bool exists(const char* path) {
  struct stat info;
  return ::stat(path, &info) == 0;
}

// The floor that "/ram/DOWNGRADE" asks for, adding the downgrade to `allow`.
Version downgrade_floor(uint32_t& allow) {
  std::ifstream marker(DOWNGRADE_MARKER);
  if (!marker.is_open()) return NO_FLOOR;
  allow |= ADMIT_DOWNGRADE;
  Version floor = 0;
  if (!(marker >> floor)) floor = 0;
  return floor;
}

std::vector<std::unique_ptr<PackageFile>> offered_files(Repository& repository) {
  std::vector<std::unique_ptr<PackageFile>> found;
  if (!exists(IGNORE_MARKER)) scan_package_folder(repository, DOWNLOAD_FOLDER, found);
  if (found.empty()) scan_package_folder(repository, FLASH_FOLDER, found);
  if (found.empty()) scan_package_folder(repository, SYSTEM_FOLDER, found);
  return found;
}

// The offered file, held for the length of the run under a second name beside it, so that
// what is verified is what is kept: a hard link where the file system has them, else the
// copy the install writes while it verifies. Replacing the download after its check
// changes neither. The name is hidden from the folder scan, and one left by a run that died
// is replaced.
class HeldFile {
 public:
  explicit HeldFile(const std::string& path) : path_(hidden_name(path)) {
    ::unlink(path_.c_str());
    linked_ = ::link(path.c_str(), path_.c_str()) == 0;
    if (!linked_ && !copy_.open(path_)) path_.clear();
  }
  ~HeldFile() {
    (void)copy_.close();
    if (!path_.empty() && !kept_) ::unlink(path_.c_str());
  }
  HeldFile(const HeldFile&) = delete;
  HeldFile& operator=(const HeldFile&) = delete;

  // What to read: the link; or the download itself while it is being copied.
  const std::string& source(const std::string& download) const {
    return linked_ ? path_ : download;
  }
  std::streambuf* tee() { return linked_ || path_.empty() ? nullptr : &copy_; }
  // Whether the held bytes are whole; false when neither a link nor a full copy was made.
  bool whole() { return !path_.empty() && (linked_ || copy_.close()); }
  // Hands the held name over to the transaction, which renames it into place at the commit
  // and deletes it at a cancel.
  const std::string& keep() {
    kept_ = true;
    return path_;
  }

 private:
  static std::string hidden_name(const std::string& path) {
    const size_t slash = path.rfind('/');
    return path.substr(0, slash + 1) + ".held-" + path.substr(slash + 1);
  }

  std::string path_;
  bool linked_ = false;
  bool kept_ = false;
  FileSink copy_;
};

// Keeps the installed file as its package's database image, or at "/flash/bootimage"
// (linked from the database when the package keeps an image); the download is removed, as a
// move would. Only a file that was installed anew, and so verified and read to its end, is
// kept.
void keep_image(Manifest& manifest, const PackageFile& file, HeldFile& held,
                const std::string& database_dir, bool boot_image) {
  if (database_dir.empty() && !boot_image) return;
  const std::string image = database_dir + "image";
  manifest.remove_path(file.path);
  const std::string& source = held.keep();
  if (boot_image) {
    manifest.add_staged(source, BOOT_IMAGE);
    if (!database_dir.empty()) manifest.add_link(BOOT_IMAGE, image);
  } else {
    manifest.add_staged(source, image);
  }
}

}  // namespace

void scan_package_folder(Repository& repository, const std::string& folder,
                         std::vector<std::unique_ptr<PackageFile>>& found) {
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name.empty() || name[0] == '.') continue;
    const std::string path = folder + name;
    if (!ends_with(path, ".vmp") && !ends_with(path, ".trp")) continue;
    auto file = std::make_unique<PackageFile>();
    if (open_package_file(*file, path)) {
      found.push_back(std::move(file));
    } else {
      repository.error("broken package %s", name.c_str());
    }
  }
  ::closedir(dir);
}

void upgrade(Repository& repository, Manifest& manifest, uint32_t allow) {
  const Version floor = downgrade_floor(allow);
  const std::vector<std::unique_ptr<PackageFile>> found = offered_files(repository);
  std::vector<PackageFile*> files;
  for (const auto& file : found) files.push_back(file.get());
  filter_and_order(repository, files, floor, true);

  UserForcedMap user_forced;
  std::set<std::string> keep_enabled;
  for (const auto& package : repository.packages) {
    if (package->user_forced) user_forced.emplace(package->name, package->disabled);
    if (package->disabled) continue;
    keep_enabled.insert(package->name);
    for (const Dependency& provided : package->provides) keep_enabled.insert(provided.name);
  }
  if (!files.empty()) repository.read_post_log();

  for (const PackageFile* file : files) {
    HeldFile held(file->path);
    std::ifstream in(held.source(file->path), std::ios::binary);
    if (!in.is_open()) continue;
    bool boot_image = false;
    std::string database_dir;
    int result = stream_install(repository, manifest, in, allow, user_forced, held.tee(),
                                &database_dir, &boot_image);
    in.close();
    const bool keeps = !database_dir.empty() || boot_image;
    if (result == 0 && keeps && !held.whole()) {
      repository.error("could not keep %s: %s", file->path.c_str(), std::strerror(errno));
      result = 1;
    }
    if (result != 0) {
      cancel(manifest);
      return;
    }
    keep_image(manifest, *file, held, database_dir, boot_image);
  }

  std::vector<Package*> enable;
  for (const std::string& name : keep_enabled) {
    Package* package = repository.find_active(name);
    if (package != nullptr && package->disabled &&
        repository.find_conflicting(*package) == nullptr) {
      enable.push_back(package);
    }
  }
  enable_packages(repository, manifest, enable, 1);
  if (repository.packages.empty()) {
    repository.error("router installation failed!!!");
    cancel(manifest);
  }
}
