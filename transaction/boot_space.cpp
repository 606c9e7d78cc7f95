#include "transaction/boot_space.h"

#include <sys/stat.h>
#include <sys/statfs.h>

#include <algorithm>
#include <utility>

#include "transaction/background_flush.h"
#include "transaction/file_ops.h"
#include "transaction/manifest.h"
#include "transaction/path_kinds.h"

namespace {

constexpr int64_t MIN_FREE_BLOCKS = 16;

// The file system a planned file would have been staged on: that of its staging directory,
// or of the directory that would hold it when it was never made.
dev_t staging_device(const std::string& planned) {
  struct stat info;
  const std::string area = parent_dir(planned);
  if (::stat(area.c_str(), &info) == 0 || ::stat(parent_dir(area).c_str(), &info) == 0) {
    return info.st_dev;
  }
  return dev_t();
}

}  // namespace

SpaceAccount::SpaceAccount(std::string dir) : directory(std::move(dir)) {
  struct statfs info;
  if (::statfs(directory.c_str(), &info) != 0) return;
  block_size = static_cast<uint32_t>(info.f_bsize);
  free_blocks = initial_free_blocks = lowest_free_blocks = static_cast<int64_t>(info.f_bfree);
  counts_inodes = info.f_files != 0;
  free_inodes = static_cast<int64_t>(info.f_ffree);
  struct stat own;
  has_device_ = ::stat(directory.c_str(), &own) == 0;
  device_ = has_device_ ? own.st_dev : dev_t();
}

void SpaceAccount::count_removal(const std::string& path) {
  struct stat info;
  if (path.compare(0, directory.size(), directory) != 0) return;
  if (::stat(path.c_str(), &info) != 0) return;
  const uint64_t bytes = static_cast<uint64_t>(info.st_size);
  free_blocks += static_cast<int64_t>((bytes + block_size - 1) / block_size);
  ++free_inodes;
}

void SpaceAccount::count_move(const std::string& source, const std::string& path) {
  if (path.compare(0, directory.size(), directory) != 0) return;
  struct stat source_info;
  if (::stat(source.c_str(), &source_info) != 0) {
    count_removal(path);
    return;
  }
  const Receiver& receiver = receiver_of(path);
  count_new_dirs(path);
  // Staging already took the room there; the replaced file's room is not credited.
  if (receiver.found && receiver.device == source_info.st_dev) return;
  const uint64_t bytes = static_cast<uint64_t>(source_info.st_size);
  free_blocks -= static_cast<int64_t>((bytes + block_size - 1) / block_size);
  lowest_free_blocks = std::min(lowest_free_blocks, free_blocks);
  --free_inodes;
  count_removal(path);
}

void SpaceAccount::count_planned(uint64_t bytes, dev_t staged_on, const std::string& path) {
  const int64_t blocks = static_cast<int64_t>((bytes + block_size - 1) / block_size);
  // A real run's staged file took its room before the account was opened: the baseline.
  if (has_device_ && staged_on == device_) {
    free_blocks -= blocks;
    initial_free_blocks -= blocks;
    lowest_free_blocks -= blocks;
    --free_inodes;
  }
  if (path.compare(0, directory.size(), directory) != 0) return;
  const Receiver& receiver = receiver_of(path);
  count_new_dirs(path);
  if (receiver.found && receiver.device == staged_on) return;
  free_blocks -= blocks;
  lowest_free_blocks = std::min(lowest_free_blocks, free_blocks);
  --free_inodes;
  count_removal(path);
}

void SpaceAccount::count_link(const std::string& path) {
  if (path.compare(0, directory.size(), directory) != 0) return;
  count_new_dirs(path);
  --free_inodes;
}

void SpaceAccount::count_journal() {
  if (std::string(DATABASE_ROOT).compare(0, directory.size(), directory) != 0) return;
  --free_blocks;
  lowest_free_blocks = std::min(lowest_free_blocks, free_blocks);
  --free_inodes;
}

void SpaceAccount::count_new_dirs(const std::string& path) {
  struct stat info;
  for (std::string dir = parent_dir(path);
       dir != "/" && dir != "." && ::stat(dir.c_str(), &info) != 0; dir = parent_dir(dir)) {
    if (!new_dirs_.insert(dir).second) break;
    --free_inodes;
  }
}

// Moves come in key order, so most share the last one's directory.
const SpaceAccount::Receiver& SpaceAccount::receiver_of(const std::string& path) {
  std::string parent = parent_dir(path);
  if (receiver_.found && parent == receiver_.parent) return receiver_;
  std::string dir = parent;
  struct stat info;
  bool found = ::stat(dir.c_str(), &info) == 0;
  while (!found && dir != "/" && dir != ".") {
    dir = parent_dir(dir);
    found = ::stat(dir.c_str(), &info) == 0;
  }
  receiver_ = {std::move(parent), found, found ? info.st_dev : dev_t()};
  return receiver_;
}

bool SpaceAccount::exhausted() const {
  // The margin is for the system that runs on afterwards; while copying, room is enough.
  return (free_blocks < initial_free_blocks && free_blocks <= MIN_FREE_BLOCKS) ||
         lowest_free_blocks < 0 || (counts_inodes && free_inodes < 0);
}

bool fits_boot_space(const Manifest& manifest) {
  // A running flush holds the blocks of a file deleted since: they count free once it ends.
  (void)BackgroundFlush::settle();
  SpaceAccount boot("/flash/boot");
  SpaceAccount flash("/flash");
  // In the commit's order: everything but the database's entries, then those. Consumed
  // downloads are deleted only once all is done: their room never helps.
  bool has_records = false;
  for (const auto& [path, op] : manifest.operations()) has_records = has_records || is_record(path);
  for (const bool records : {false, true}) {
    if (records && has_records) {
      boot.count_journal();
      flash.count_journal();
    }
    for (const auto& [path, op] : manifest.operations()) {
      if (op.kind != ManifestKind::remove || is_record(path) != records || is_download(path)) {
        continue;
      }
      boot.count_removal(path);
      flash.count_removal(path);
    }
    for (const auto& [path, op] : manifest.operations()) {
      if (is_record(path) != records) continue;
      if (op.kind == ManifestKind::link) {
        boot.count_link(path);
        flash.count_link(path);
      }
      if (!is_move(op)) continue;
      if (const auto size = manifest.planned_size(op.source)) {
        const dev_t staged_on = staging_device(op.source);
        boot.count_planned(*size, staged_on, path);
        flash.count_planned(*size, staged_on, path);
        continue;
      }
      boot.count_move(op.source, path);
      flash.count_move(op.source, path);
    }
  }
  return !boot.exhausted() && !flash.exhausted();
}
