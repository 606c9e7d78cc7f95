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
#include "install/scheduled_actions.h"
#include "installer/install_offer.h"
#include "installer/stream_install.h"
#include "package/console.h"
#include "package/relations.h"
#include "package/repository.h"
#include "planning/admission.h"
#include "planning/candidate_order.h"
#include "planning/offer_decision.h"
#include "transaction/commit.h"
#include "transaction/file_sink.h"
#include "transaction/manifest.h"
#include "transaction/read_buffer.h"

namespace {

// What the scan read of the file: an image part, or the system image asked for. Such a
// download is consumed by the install.
bool may_keep(const PackageFile& file) {
  if (file.has_image_part || boot_image_kept(file)) return true;
  for (const auto& member : file.members) {
    if (boot_image_kept(*member)) return true;
  }
  return false;
}

// A download of what is installed already: a cut after the commit's last rename leaves it,
// and the rerun deletes it without touching what it brought. A bundle would otherwise be
// refused and fail every later upgrade.
bool already_installed(Console& console, const Repository& repository, const PackageFile& file,
                       uint32_t allow) {
  if ((allow & ADMIT_SAME) || !may_keep(file) || !is_installed_already(repository, file)) {
    return false;
  }
  console.warning("omitting package %s: it is already installed", display_name(file).c_str());
  return true;
}

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

std::vector<std::unique_ptr<PackageFile>> offered_files(Console& console) {
  std::vector<std::unique_ptr<PackageFile>> found;
  if (!exists(IGNORE_MARKER)) scan_package_folder(console, DOWNLOAD_FOLDER, found);
  if (found.empty()) scan_package_folder(console, FLASH_FOLDER, found);
  if (found.empty()) scan_package_folder(console, SYSTEM_FOLDER, found);
  return found;
}

// The offered file, read through the one descriptor opened for its check; and, when the run
// may keep it as an image, copied while it is read into a new file on the flash, which only
// the installer writes. What is kept is then the very bytes that were verified, whatever
// becomes of the download after its check: a link pointed elsewhere, a second name or an
// open descriptor written through, the file replaced. Only the copy is kept; it lives in the
// flash's staging directory until the commit, readable by all as the download is (other
// programs read the kept images), and writable by root alone: never an execute or set-id
// bit, nor a write bit for others, which the bytes of somebody else's file must not get.
class HeldFile {
 public:
  HeldFile(const PackageFile& file, Manifest& manifest)
      : open_(source_.open(file.path, OpenAs::regular_file)), dry_run_(manifest.dry_run()) {
    if (!open_ || !may_keep(file)) return;
    copy_path_ = manifest.open_copy(FLASH_DIR, source_.status().st_mode & KEPT_BITS, copy_);
    if (copy_path_.empty()) copy_error_ = errno;
  }
  ~HeldFile() {
    (void)copy_.close();
    if (!copy_path_.empty() && !kept_ && !dry_run_) ::unlink(copy_path_.c_str());
  }
  HeldFile(const HeldFile&) = delete;
  HeldFile& operator=(const HeldFile&) = delete;

  bool is_open() const { return open_; }
  std::streambuf* source() { return &source_; }
  std::streambuf* tee() { return copy_path_.empty() ? nullptr : &copy_; }
  // Why the copy cannot be kept, once the install has read the file; null when it can.
  const char* problem() {
    if (copy_path_.empty()) {
      // The scan saw no image to keep: the file changed after it was opened.
      return copy_error_ != 0 ? std::strerror(copy_error_) : "it changed while it was read";
    }
    if (!copy_.close()) return std::strerror(copy_.error() != 0 ? copy_.error() : errno);
    return nullptr;
  }
  // Hands the copy over to the transaction, which renames it into place at the commit and
  // deletes it at a cancel.
  const std::string& keep(Manifest& manifest) {
    kept_ = true;
    manifest.plan_size(copy_path_, copy_.written());
    return copy_path_;
  }

 private:
  static constexpr mode_t KEPT_BITS = 0644;

  ReadBuffer source_{65536};
  const bool open_;
  const bool dry_run_;
  FileSink copy_;
  std::string copy_path_;
  int copy_error_ = 0;
  bool kept_ = false;
};

// Keeps the installed file as its package's database image, or at "/flash/bootimage"
// (linked from the database when the package keeps an image); the download is removed, as a
// move would. Only a file that was installed anew, and so verified and read to its end, is
// kept.
void keep_image(Manifest& manifest, const PackageFile& file, HeldFile& held,
                const std::string& database_dir, bool boot_image) {
  const std::string image = database_dir + "image";
  manifest.remove_path(file.path);
  const std::string& source = held.keep(manifest);
  if (boot_image) {
    manifest.add_staged(source, BOOT_IMAGE);
    if (!database_dir.empty()) manifest.add_link(BOOT_IMAGE, image);
  } else {
    manifest.add_staged(source, image);
  }
}

}  // namespace

void scan_package_folder(Console& console, const std::string& folder,
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
      console.error("broken package %s", name.c_str());
    }
  }
  ::closedir(dir);
}

bool upgrade(Console& console, Repository& repository, Manifest& manifest, uint32_t allow) {
  const Version floor = downgrade_floor(allow);
  const std::vector<std::unique_ptr<PackageFile>> found = offered_files(console);
  std::vector<PackageFile*> files;
  for (const auto& file : found) files.push_back(file.get());
  filter_and_order(console, files, floor, true);

  const UserForcedMap user_forced = user_choices(repository);
  const std::set<std::string> were_active = active_names(repository);
  if (!files.empty()) console.read_post_log();

  for (const PackageFile* file : files) {
    if (already_installed(console, repository, *file, allow)) {
      manifest.remove_path(file->path);
      continue;
    }
    HeldFile held(*file, manifest);
    if (!held.is_open()) continue;
    std::istream in(held.source());
    bool boot_image = false;
    std::string database_dir;
    int result = stream_install(console, repository, manifest, in, allow, user_forced, held.tee(),
                                &database_dir, &boot_image);
    const bool keeps = !database_dir.empty() || boot_image;
    if (result == 0 && keeps) {
      if (const char* problem = held.problem()) {
        console.error("could not keep %s: %s", file->path.c_str(), problem);
        result = 1;
      }
    }
    if (result != 0) {
      cancel(manifest);
      // A file older than what is installed is passed over with a warning: no failure,
      // though it ends the upgrade as any refusal does.
      return !(allow & ADMIT_DOWNGRADE) && is_installed_newer(repository, *file);
    }
    if (keeps) {
      keep_image(manifest, *file, held, database_dir, boot_image);
    } else if (may_keep(*file)) {
      // Passed over as installed already (a reinstall): consumed all the same.
      manifest.remove_path(file->path);
    }
  }

  enable_packages(console, manifest, to_switch_back_on(repository, were_active),
                  ReportLevel::changes);
  if (repository.packages().empty()) {
    console.error("router installation failed!!!");
    cancel(manifest);
    return false;
  }
  return true;
}
