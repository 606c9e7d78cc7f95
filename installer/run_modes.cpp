#include "installer/run_modes.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <set>

#include "install/remove_package.h"
#include "installer/apply_scheduled.h"
#include "installer/cleanup.h"
#include "installer/package_table.h"
#include "installer/stream_install.h"
#include "installer/upgrade.h"
#include "package/console.h"
#include "package/repository.h"
#include "package/system_paths.h"
#include "planning/admission.h"
#include "transaction/boot_space.h"
#include "transaction/commit.h"
#include "transaction/commit_journal.h"
#include "transaction/file_sink.h"
#include "transaction/manifest.h"
#include "transaction/staging.h"

namespace {

constexpr int NO_BOOT_SPACE_STATUS = 28;
constexpr int FAILED_STATUS = 1;

// The files that `manifest`, loaded from a saved transaction, staged.
std::set<std::string> staged_sources(const Manifest& manifest) {
  std::set<std::string> sources;
  for (const auto& [path, op] : manifest.operations()) {
    if (op.kind == ManifestKind::staged) sources.insert(op.source);
  }
  return sources;
}

// Deletes what interrupted runs left in the staging directories, sparing the files of a
// saved transaction that a later "--commit" may still need, and those of a commit whose
// journal could not be finished.
void clear_leftovers(Manifest& manifest) {
  std::set<std::string> keep;
  for (const std::string& file :
       {std::string(SAVED_MANIFEST_PATH), commit_journal(manifest.staging(), false)}) {
    Manifest pending;
    if (!file.empty() && pending.load(file)) keep.merge(staged_sources(pending));
  }
  clear_staging(manifest.staging(), keep);
}

// The run's transaction; a dry run's leaves everything in place, leftovers of others too.
void start(Console& console, Manifest& manifest) {
  if (console.dry_run) {
    manifest.set_dry_run();
  } else {
    clear_leftovers(manifest);
  }
}

// A saved transaction was staged against the state before this run's changes: committed
// after them it would undo them. The downloads it would have consumed are still in their
// folder for the next upgrade.
void drop_saved(Console& console) {
  struct stat info;
  if (::lstat(SAVED_MANIFEST_PATH, &info) != 0) return;
  if (console.dry_run) return console.warning("the saved transaction would be dropped");
  Manifest saved;
  (void)saved.load(SAVED_MANIFEST_PATH);
  cancel(saved);
  ::unlink(SAVED_MANIFEST_PATH);
  console.warning("the saved transaction was dropped");
}

int report_commit(Console& console, const CommitResult& result) {
  if (result.error == 0) return 0;
  console.error("can not commit: %s", std::strerror(result.error));
  return FAILED_STATUS;
}

// Commits the run's own transaction; if nothing could be changed, its staged files go.
int commit_own(Console& console, Manifest& manifest) {
  if (!manifest.empty()) drop_saved(console);
  if (manifest.dry_run()) return 0;
  const CommitResult result = commit(manifest, false);
  if (!result.changed) cancel(manifest);
  return report_commit(console, result);
}

}  // namespace

bool interrupted_run_pending() {
  StagingAreas areas;
  const std::string journal = commit_journal(areas, false);
  struct stat info;
  return !journal.empty() && ::lstat(journal.c_str(), &info) == 0;
}

int finish_interrupted_run(Console& console) {
  Manifest manifest;
  CommitResult result;
  if (!finish_interrupted_commit(manifest, result)) return 0;
  return report_commit(console, result);
}

int commit_mode(Console& console) {
  if (const int status = finish_interrupted_run(console)) return status;
  Manifest manifest;
  // A saved transaction read in part would be committed in part: it waits for a whole read.
  const int fd = ::open(SAVED_MANIFEST_PATH, O_RDONLY | O_CLOEXEC);
  const int unreadable = fd < 0 ? (errno == ENOENT ? 0 : errno) : 0;
  if (fd >= 0) ::close(fd);
  if (unreadable != 0 || (fd >= 0 && !manifest.load(SAVED_MANIFEST_PATH))) {
    return report_commit(console, {unreadable != 0 ? unreadable : EINVAL, false});
  }
  clear_staging(manifest.staging(), staged_sources(manifest));
  std::cout << "finishing install... " << std::flush;
  CommitResult result = commit(manifest, true);
  std::cout << "\b " << std::endl;
  // Done: committed again later it could undo a newer install. A failed one stays to be
  // tried again, with its staged files; so does one that cannot be marked done.
  if (result.error == 0 && ::unlink(SAVED_MANIFEST_PATH) != 0 && errno != ENOENT) {
    result.error = errno;
  }
  return report_commit(console, result);
}

int cancel_mode(Console& console) {
  if (const int status = finish_interrupted_run(console)) return status;
  Manifest manifest;
  (void)manifest.load(SAVED_MANIFEST_PATH);
  cancel(manifest);
  ::unlink(SAVED_MANIFEST_PATH);
  clear_staging(manifest.staging(), {});
  return 0;
}

int show_mode(const Repository& repository) {
  print_package_table(repository, std::cout);
  return 0;
}

int cleanup_mode(Console& console, Repository& repository) {
  Manifest manifest;
  start(console, manifest);
  cleanup(console, repository, manifest);
  return commit_own(console, manifest);
}

namespace {

// Where the copy of a package read in stream mode ends up once it is installed: in its
// database directory, or as the boot image, linked from there when it has a directory.
// False when it is not kept: a package without an image part keeps no copy.
bool keep_stream_image(Manifest& manifest, const std::string& image_path,
                       const std::string& database_dir, bool boot_image) {
  const std::string target = database_dir + "image";
  if (boot_image) {
    manifest.add_staged(image_path, BOOT_IMAGE);
    if (!database_dir.empty()) manifest.add_link(BOOT_IMAGE, target);
    return true;
  }
  if (database_dir.empty()) return false;
  manifest.add_staged(image_path, target);
  return true;
}

}  // namespace

int stream_mode(Console& console, Repository& repository, const RunOptions& options,
                std::istream& in) {
  Manifest manifest;
  start(console, manifest);
  apply_scheduled(console, repository, manifest, ReportLevel::changes);

  // The copy is staged on the flash like any other file, so that nothing is left of it
  // after a failure or a cut; readable by all, as the kept images are.
  FileSink image;
  const std::string image_path = manifest.open_copy(FLASH_DIR, 0644, image);
  if (image_path.empty()) {
    std::cout << "ERROR: could not open image" << std::endl;
    // Nothing else would ever delete what the schedule staged.
    cancel(manifest);
    return -1;
  }
  std::string database_dir;
  bool boot_image = false;
  const uint32_t allow = options.allow | ADMIT_UPGRADE;
  int result = stream_install(console, repository, manifest, in, allow, UserForcedMap(), &image,
                              &database_dir, &boot_image);
  if (!image.close() && result == 0) {
    // A copy cut short would be kept as the package's image and break the next run.
    console.error("could not write image: %s", std::strerror(image.error()));
    result = 1;
  }
  bool kept = false;
  if (result == 0) {
    manifest.plan_size(image_path, image.written());
    kept = keep_stream_image(manifest, image_path, database_dir, boot_image);
    if (!(allow & ADMIT_SAME) && !fits_boot_space(manifest)) {
      console.error("not enough space for upgrade");
      result = NO_BOOT_SPACE_STATUS;
    }
  }
  // A copy that is not kept goes before the commit flushes the flash, which would write it
  // out only to delete it.
  if (!kept && !manifest.dry_run()) ::unlink(image_path.c_str());
  if (result == 0) {
    result = commit_own(console, manifest);
  } else {
    cancel(manifest);
  }
  console.write_post_log();
  return result;
}

int finish_upgrade(Console& console, Manifest& manifest, uint32_t allow, bool commit_now) {
  int status = 0;
  if (!(allow & ADMIT_SAME) && !fits_boot_space(manifest)) {
    console.error("not enough space for upgrade");
    cancel(manifest);
    status = NO_BOOT_SPACE_STATUS;
  }
  if (manifest.empty()) return status;
  FileStream marker = manifest.create_file(PACKAGES_CHANGED_PATH, 1, 0);
  marker.close();
  if (marker.fail()) manifest.note_failure(errno);
  if (commit_now || manifest.dry_run()) return commit_own(console, manifest);
  drop_saved(console);
  if (manifest.failure() != 0) errno = manifest.failure();
  if (manifest.failure() != 0 || !manifest.save(SAVED_MANIFEST_PATH)) {
    // Nothing will commit or cancel it later, so its staged files go now.
    console.error("can not save transaction: %s", std::strerror(errno));
    cancel(manifest);
    status = FAILED_STATUS;
  }
  return status;
}

int upgrade_mode(Console& console, Repository& repository, const RunOptions& options) {
  Manifest manifest;
  start(console, manifest);
  apply_scheduled(console, repository, manifest, ReportLevel::changes);
  const uint32_t allow = options.allow | ADMIT_UPGRADE;
  const bool upgraded = upgrade(console, repository, manifest, allow);
  int status = finish_upgrade(console, manifest, allow, options.commit_now);
  // A refused or broken install cancelled the whole upgrade.
  if (!upgraded && status == 0) status = FAILED_STATUS;
  console.write_post_log();
  return status;
}
