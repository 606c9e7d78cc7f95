// The free-space check before an upgrade is committed: the projected free blocks of
// "/flash/boot" and "/flash" after the commit.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <set>
#include <string>

class Manifest;

// Projected free space of the file system named by `directory`: blocks, and inodes where
// the file system has a fixed number of them. A path counts for the account when it begins
// with that string ("/flash/bootimage" counts for "/flash/boot").
struct SpaceAccount {
  // Opens the account with statfs; when that fails, block size 1 and no free blocks.
  explicit SpaceAccount(std::string directory);

  // Credits the blocks of an existing `path` (its own size only, for a directory), and its
  // inode.
  void count_removal(const std::string& path);
  // Charges a file moved from `source` onto `path` unless it already lies on the file
  // system that will receive it; then credits the file it replaces. Such a move copies the
  // file beside the one it replaces, so until the rename both need room: the low point of
  // the projection is kept too. A copy takes an inode, and so does each directory the commit
  // must make for `path`.
  void count_move(const std::string& source, const std::string& path);
  // A file of `bytes` that a dry run would have staged on the device `staged_on` for
  // `path`, counted as the real run would see it: its room taken from this account before
  // the check when staged here, then moved as count_move would.
  void count_planned(uint64_t bytes, dev_t staged_on, const std::string& path);
  // A symbolic link made at `path`: an inode, and the directories made for it.
  void count_link(const std::string& path);
  // The commit's journal, written beside the database before its entries change.
  void count_journal();
  // The projection ends below the initial free blocks and at 16 or fewer, a copy would
  // not find room beside the file it replaces, or the inodes run out.
  bool exhausted() const;

  std::string directory;
  uint32_t block_size = 1;
  int64_t free_blocks = 0;
  int64_t initial_free_blocks = 0;
  int64_t lowest_free_blocks = 0;
  bool counts_inodes = false;  // false where the file system makes inodes as it needs them
  int64_t free_inodes = 0;

 private:
  // The file system that receives files moved into a directory: that of its nearest
  // existing ancestor.
  struct Receiver {
    std::string parent;
    bool found = false;
    dev_t device = 0;
  };
  const Receiver& receiver_of(const std::string& path);
  // Charges an inode for each missing directory above `path` not counted before.
  void count_new_dirs(const std::string& path);

  Receiver receiver_;        // of the last move counted; the check changes nothing on disk
  bool has_device_ = false;  // whether `directory` exists, on `device_`
  dev_t device_ = 0;
  std::set<std::string> new_dirs_;
};

// True when neither account ends below its initial free blocks and at 16 or fewer, and no
// copy runs out of room while the file it replaces still exists, counted in the commit's
// order (removals, then moves, first outside the database, then in it; consumed downloads
// never). Touches neither the disk nor `manifest`.
bool fits_boot_space(const Manifest& manifest);
