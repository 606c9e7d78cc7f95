// The file transaction of one run: every change to the installed system is recorded
// here, with new contents written to temporary files, and reaches its final path only
// when the transaction is committed.
#pragma once

#include <sys/types.h>

#include <cerrno>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "package/path_table.h"
#include "package/system_paths.h"
#include "transaction/file_sink.h"
#include "transaction/staging.h"

enum class ManifestKind {
  move,    // somebody else's file renamed onto the path
  staged,  // a temporary file of this transaction renamed onto the path
  link,    // a symbolic link made at the path
  remove,  // the path deleted
};

struct ManifestOp {
  ManifestKind kind = ManifestKind::remove;
  std::string source;  // file to move, or link target; empty for remove
};

// `move` and `staged` both rename their source onto the path at commit.
inline bool is_move(const ManifestOp& op) {
  return op.kind == ManifestKind::move || op.kind == ManifestKind::staged;
}

struct ManifestEntry {
  std::string path;
  ManifestOp op;
};

// The pending operations by final path, in byte order of the paths. Each step fills one
// entry that the iterator reuses; any change to the transaction ends an iteration.
class ManifestOperations {
 public:
  class Iterator {
   public:
    const ManifestEntry& operator*() const { return entry_; }
    const ManifestEntry* operator->() const { return &entry_; }
    Iterator& operator++();
    bool operator!=(const Iterator& other) const { return at_ != other.at_; }

   private:
    friend class ManifestOperations;
    Iterator(PathTable::Iterator at, PathTable::Iterator end);
    void fill();
    PathTable::Iterator at_;
    PathTable::Iterator end_;
    ManifestEntry entry_;
  };
  explicit ManifestOperations(const PathTable& table) : table_(table) {}
  Iterator begin() const { return Iterator(table_.begin(), table_.end()); }
  Iterator end() const { return Iterator(table_.end(), table_.end()); }
  size_t size() const { return table_.size(); }

 private:
  const PathTable& table_;
};

class Manifest {
 public:
  Manifest() = default;
  Manifest(const Manifest&) = delete;
  Manifest& operator=(const Manifest&) = delete;

  ManifestOperations operations() const { return ManifestOperations(operations_); }
  bool empty() const { return operations_.empty(); }
  // The operation pending for `path`, if any.
  std::optional<ManifestOp> find(const std::string& path) const;

  // Records `op` for `path`, replacing (and deleting the temporary file of) an earlier one.
  // Refuses, changing nothing, a path or source of PATH_MAX characters or more; every
  // operation below goes through here.
  bool put_op(const std::string& path, ManifestOp op);
  // `source` stays somebody else's: the transaction never deletes it.
  void add_move(const std::string& source, const std::string& target);
  // `source` becomes the transaction's own, as a file create_file made: renamed onto
  // `target` at the commit, deleted at a cancel.
  void add_staged(const std::string& source, const std::string& target);
  // As add_staged, but the file staged for `target` before stays where it is: the caller
  // still needs it (a saved transaction names it until the commit succeeds).
  void restage(const std::string& source, const std::string& target);
  void add_link(const std::string& link_target, const std::string& link_path);
  // Stages the removal of `path` when it exists (symbolic links followed); otherwise drops
  // any pending operation for it, deleting the temporary file of a staged one.
  void remove_path(const std::string& path);
  // Drops the operation pending for `path` when it renames a staged file there, deleting
  // that file; any other operation stays.
  void withdraw_staged(const std::string& path);
  // Drops every pending operation for a path inside the directory `dir` (which ends in
  // "/"), deleting the temporary files of staged ones: what a package removed in the same
  // run staged in its database directory must not be renamed into place.
  void drop_below(const std::string& dir);
  // A stream on a new temporary file that will replace `path`, made in the staging
  // directory of the target's file system when that has room for `size_hint` bytes plus a
  // tenth, else in that of "/ram" (or "/tmp" without "/ram" when the hint is 0). The
  // transaction owns the file; the caller writes, closes and judges success by the stream's
  // state (open, no write error, successful close). When no temporary file can be made, or
  // its mode cannot be set, the stream is not open, errno says why, and nothing is staged.
  // `mode` 0 leaves the file at 0600.
  FileStream create_file(const std::string& path, uint64_t size_hint, mode_t mode);
  // Withdraws a pending removal of the directory `path`; false when another kind of
  // operation is pending for it, or it exists as something other than a directory.
  bool keep_directory(const std::string& path);

  // Writes one line per operation to `file`, replacing it whole:
  //   "U <path>", "L <path> <link target>", "M <path> <source>"; a removed path may hold
  //   spaces, since it runs to the line end.
  // The lines go to a staged file on the same file system, which is renamed onto it only when
  // complete, so `file` holds either this transaction whole or what it held before. False,
  // with errno set and `file` untouched, when writing fails, or when a line break anywhere,
  // or a space in the path of a move or link, would read back as other operations.
  [[nodiscard]] bool save(const std::string& file) const;
  // Adds the operations stored in `file` through put_op: a move of a file in a staging
  // directory as `staged` (the transaction's own), any other as `move`; false when
  // the file is missing or a line is malformed or refused (what was read before stays). An empty
  // line ends the list. A source may hold spaces: the third field runs to the line end.
  bool load(const std::string& file);

  // Records that staging something failed where the caller could not stop the run (a
  // marker file): the commit then refuses to begin. The first errno counts.
  void note_failure(int error) {
    if (failure_ == 0) failure_ = error != 0 ? error : EIO;
  }
  int failure() const { return failure_; }

  // Forgets every operation, and a recorded failure, without touching any file.
  void clear() {
    operations_.clear();
    forget_directories();
    failure_ = 0;
  }
  // Drops what create_file remembers of the directories that exist; the commit calls it,
  // since it makes directories.
  void forget_directories() { last_parent_.clear(); }

  StagingAreas& staging() { return staging_; }

  // A dry run: files are named but never made (create_file's stream takes the bytes and
  // keeps none), and nothing is ever deleted; the operations are those a real run would
  // stage, with the sizes of the files it would make, for the space check and the account
  // of what would change. Never committed or saved.
  void set_dry_run() { dry_run_ = true; }
  bool dry_run() const { return dry_run_; }
  // A new staged file in the staging directory of the file system that holds `dir`, with
  // the permission bits `mode`, open on `sink` for the caller to fill and to name in
  // add_staged; a dry run opens `sink` on nothing. Empty with errno set on failure.
  std::string open_copy(const std::string& dir, mode_t mode, FileSink& sink);
  // The size of a file that a dry run named: given by create_file's size hint, or by
  // plan_size once a copy is filled. None for any other file.
  std::optional<uint64_t> planned_size(const std::string& source) const;
  // Gives a staged file of this transaction its permission bits; false with errno set.
  bool set_staged_mode(const std::string& source, mode_t mode) const;
  void plan_size(const std::string& source, uint64_t size);

 private:
  // Deletes a staged file of this transaction; a dry run made none.
  void delete_staged(const std::string& source) const;
  std::string planned_file(const std::string& dir, uint64_t size);
  // One "U", "L" or "M" line; false when it has too few fields. Other letters are skipped.
  bool load_line(const std::string& line);

  std::string temp_dir_for(const std::string& path, uint64_t size_hint);

  // The value of a path is a kind letter, then the source.
  PathTable operations_;
  std::string last_parent_;       // parent directory of the last file staged with a hint
  std::string last_existing_;     // its nearest existing ancestor then
  mutable StagingAreas staging_;  // a cache of where the staging directories are
  int failure_ = 0;
  bool dry_run_ = false;
  // Sizes of the files a dry run named, by the index their names end in: a few bytes each,
  // so that a dry run's memory does not grow faster with the file count than a real run's.
  std::vector<uint64_t> planned_sizes_;
  std::optional<size_t> planned_index(const std::string& source) const;
};
