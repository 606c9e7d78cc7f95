#include "installer/run_modes.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>

#include "install/remove_package.h"
#include "installer/cleanup.h"
#include "installer/package_table.h"
#include "installer/stream_install.h"
#include "installer/upgrade.h"
#include "package/repository.h"
#include "planning/admission.h"
#include "planning/schedule.h"
#include "transaction/boot_space.h"
#include "transaction/commit.h"
#include "transaction/file_sink.h"
#include "transaction/manifest.h"

namespace {

constexpr int NO_BOOT_SPACE_STATUS = 28;
constexpr int SAVE_FAILED_STATUS = 1;

}  // namespace

int commit_mode() {
  Manifest manifest;
  (void)manifest.load(SAVED_MANIFEST_PATH);
  std::cout << "finishing install... " << std::flush;
  commit(manifest, true);
  std::cout << "\b " << std::endl;
  return 0;
}

int cancel_mode() {
  Manifest manifest;
  (void)manifest.load(SAVED_MANIFEST_PATH);
  cancel(manifest);
  ::unlink(SAVED_MANIFEST_PATH);
  return 0;
}

int show_mode(Repository& repository) {
  print_package_table(repository, std::cout);
  return 0;
}

int cleanup_mode(Repository& repository) {
  Manifest manifest;
  cleanup(repository, manifest);
  commit(manifest, false);
  return 0;
}

namespace {

// Where the copy of a package read in stream mode ends up once it is installed: in its
// database directory, or as the boot image, linked from there when it has a directory.
// False when it is not kept: a package without an image part keeps no copy.
bool keep_stream_image(Manifest& manifest, const std::string& database_dir, bool boot_image) {
  const std::string target = database_dir + "image";
  if (boot_image) {
    manifest.add_move(STREAM_IMAGE_MOVE_SOURCE, BOOT_IMAGE);
    if (!database_dir.empty()) manifest.add_link(BOOT_IMAGE, target);
    return true;
  }
  if (database_dir.empty()) return false;
  manifest.add_move(STREAM_IMAGE_MOVE_SOURCE, target);
  return true;
}

}  // namespace

int stream_mode(Repository& repository, const RunOptions& options, std::istream& in) {
  Manifest manifest;
  apply_scheduled(repository, manifest, 1);

  FileSink image;
  if (!image.open(STREAM_IMAGE_PATH)) {
    std::cout << "ERROR: could not open image" << std::endl;
    // Nothing else would ever delete what the schedule staged.
    cancel(manifest);
    return -1;
  }
  std::string database_dir;
  bool boot_image = false;
  const uint32_t allow = options.allow | ADMIT_UPGRADE;
  int result = stream_install(repository, manifest, in, allow, UserForcedMap(), &image,
                              &database_dir, &boot_image);
  if (!image.close() && result == 0) {
    // A copy cut short would be kept as the package's image and break the next run.
    repository.error("could not write image: %s", std::strerror(image.error()));
    result = 1;
  }
  bool kept = false;
  if (result == 0) {
    kept = keep_stream_image(manifest, database_dir, boot_image);
    if (!(allow & ADMIT_SAME) && !fits_boot_space(manifest)) {
      repository.error("not enough space for upgrade");
      result = NO_BOOT_SPACE_STATUS;
    }
  }
  if (result == 0) {
    // A copy that is not kept goes before the commit flushes the flash, which would write it
    // out only to delete it; not before the space check, which has always counted it.
    if (!kept) ::unlink(STREAM_IMAGE_MOVE_SOURCE);
    commit(manifest, false);
  } else {
    cancel(manifest);
  }
  // The copy never stays behind on its own: a failed install leaves the flash as it was, and
  // once moved it is gone from here (a move that failed or copied leaves it).
  ::unlink(STREAM_IMAGE_MOVE_SOURCE);
  repository.write_post_log();
  return result;
}

int finish_upgrade(Repository& repository, Manifest& manifest, uint32_t allow, bool commit_now) {
  int status = 0;
  if (!(allow & ADMIT_SAME) && !fits_boot_space(manifest)) {
    repository.error("not enough space for upgrade");
    cancel(manifest);
    status = NO_BOOT_SPACE_STATUS;
  }
  if (manifest.empty()) return status;
  manifest.create_file(PACKAGES_CHANGED_PATH, 1, 0).close();
  if (commit_now) {
    commit(manifest, false);
  } else if (!manifest.save(SAVED_MANIFEST_PATH)) {
    // Nothing will commit or cancel it later, so its staged files go now.
    repository.error("can not save transaction: %s", std::strerror(errno));
    cancel(manifest);
    status = SAVE_FAILED_STATUS;
  }
  return status;
}

int upgrade_mode(Repository& repository, const RunOptions& options) {
  Manifest manifest;
  apply_scheduled(repository, manifest, 1);
  const uint32_t allow = options.allow | ADMIT_UPGRADE;
  upgrade(repository, manifest, allow);
  const int status = finish_upgrade(repository, manifest, allow, options.commit_now);
  repository.write_post_log();
  return status;
}
