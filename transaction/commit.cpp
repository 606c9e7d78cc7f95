#include "transaction/commit.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <set>
#include <utility>
#include <vector>

#include "transaction/background_flush.h"
#include "transaction/commit_journal.h"
#include "transaction/file_ops.h"
#include "transaction/manifest.h"
#include "transaction/path_kinds.h"
#include "transaction/staging.h"

namespace {

// Files that the moves will take, by device and inode, so that the removal of the directory
// holding them (a saved transaction's source may sit there) spares them. A move whose
// source is gone was done by an earlier run of the same commit that a power cut stopped:
// its target is spared instead, or the rerun would delete the file it cannot move again.
class MoveSources {
 public:
  explicit MoveSources(const Manifest& manifest) : manifest_(manifest) {}

  bool contains(const struct stat& info) {
    if (!collected_) collect();
    return sources_.count({info.st_dev, info.st_ino}) != 0;
  }

 private:
  void collect() {
    collected_ = true;
    for (const auto& [path, op] : manifest_.operations()) {
      struct stat info;
      if (!is_move(op)) continue;
      if (::lstat(op.source.c_str(), &info) == 0 ||
          (errno == ENOENT && ::lstat(path.c_str(), &info) == 0)) {
        sources_.insert({info.st_dev, info.st_ino});
      }
    }
  }

  const Manifest& manifest_;
  bool collected_ = false;
  std::set<std::pair<dev_t, ino_t>> sources_;
};

// Records the first failure of the commit; the rest goes on.
class Failures {
 public:
  void note(int error) {
    if (first_ == 0) first_ = error != 0 ? error : EIO;
  }
  // Reports the call that failed as perror does; errno is taken first, since printing may
  // change it.
  void report(const char* call) {
    const int error = errno;
    std::perror(call);
    note(error);
  }
  int first() const { return first_; }

 private:
  int first_ = 0;
};

bool is_consumed_download(const std::string& path, const ManifestOp& op) {
  return op.kind == ManifestKind::remove && is_download(path);
}

// Only plain entries go: a subdirectory or a dot-file keeps the directory in place.
void remove_directory(const std::string& path, MoveSources& keep, Failures& failures) {
  DIR* dir = ::opendir(path.c_str());
  if (dir) {
    while (const dirent* entry = ::readdir(dir)) {
      if (entry->d_name[0] == '\0' || entry->d_name[0] == '.') continue;
      const std::string entry_path = path + "/" + entry->d_name;
      struct stat info;
      if (::lstat(entry_path.c_str(), &info) == 0 && keep.contains(info)) continue;
      if (::unlink(entry_path.c_str()) != 0 && errno != ENOENT && errno != EISDIR) {
        failures.report("unlink");
      }
    }
    ::closedir(dir);
  }
  if (::rmdir(path.c_str()) != 0 && errno != ENOTEMPTY && errno != EEXIST && errno != ENOENT) {
    failures.report("rmdir");
  }
}

// Whether every entry of the directory `path` is plain and needed by no move.
bool holds_only_plain(const std::string& path, MoveSources& keep) {
  DIR* dir = ::opendir(path.c_str());
  if (dir == nullptr) return false;
  bool plain = true;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    struct stat info;
    if (name[0] == '.' || ::lstat((path + "/" + name).c_str(), &info) != 0 ||
        S_ISDIR(info.st_mode) || keep.contains(info)) {
      plain = false;
      break;
    }
  }
  ::closedir(dir);
  return plain;
}

// A database entry leaves its place in one rename, into the staging directory, before its
// files are deleted: a cut leaves it whole or gone, never a record without its version. The
// name it goes to, or `path` where it must stay to be emptied in place.
std::string move_aside(Manifest& manifest, const std::string& path, MoveSources& keep) {
  if (!is_record(path) || !holds_only_plain(path, keep)) return path;
  std::string aside = manifest.staging().dir_for(parent_dir(path));
  if (aside.empty()) return path;
  aside += "/tmpXXXXXX";
  if (::mkdtemp(&aside[0]) == nullptr) return path;
  if (::rename(path.c_str(), aside.c_str()) == 0) return aside;
  ::rmdir(aside.c_str());
  return path;
}

void remove_now(Manifest& manifest, const std::string& path, MoveSources& keep,
                Failures& failures) {
  if (::unlink(path.c_str()) == 0 || errno == ENOENT) return;
  if (errno == EISDIR) {
    remove_directory(move_aside(manifest, path, keep), keep, failures);
    return;
  }
  failures.report("unlink");
}

// The link is made under a staged name on the path's file system and renamed over the
// path, so that a power cut leaves the old entry or the new link, never neither, and a link
// that a cut left half made is found and deleted by the next run. A directory at the path
// stays, as it always did. Directories are made only when they are missing: most exist.
void link_now(Manifest& manifest, const std::string& path, const std::string& link_target,
              Failures& failures) {
  const std::string dir = parent_dir(path);
  struct stat info;
  if (::stat(dir.c_str(), &info) != 0) make_dirs(dir);
  // The name is reserved by a file, which the link takes the place of.
  const std::string temp = manifest.staging().new_file(dir);
  if (temp.empty() || ::unlink(temp.c_str()) != 0 ||
      ::symlink(link_target.c_str(), temp.c_str()) != 0) {
    failures.report("symlink");
    return;
  }
  if (::lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
    errno = EEXIST;
  } else if (::rename(temp.c_str(), path.c_str()) == 0) {
    return;
  }
  failures.report("symlink");
  ::unlink(temp.c_str());
}

bool rename_into(const std::string& source, const std::string& path) {
  if (::rename(source.c_str(), path.c_str()) == 0) return true;
  if (errno != ENOENT) return false;
  make_dirs(parent_dir(path));
  return ::rename(source.c_str(), path.c_str()) == 0;
}

// Copies `source` into the staging directory of the target's file system and renames the
// copy into place, so that a copy that fails (a full flash) leaves the old file whole, a
// symbolic link at `path` is replaced rather than written through, and a copy that a cut
// leaves behind is found and deleted by the next run. 0, or the errno of the failure.
int copy_into_place(Manifest& manifest, const std::string& source, const std::string& path,
                    bool progress) {
  std::string copy;
  if (const int error = copy_to_staging(manifest, source, path, progress, copy)) return error;
  if (::rename(copy.c_str(), path.c_str()) == 0) return 0;
  const int cause = errno;
  ::unlink(copy.c_str());
  return cause;
}

// A move whose source is gone while its target stands was done by an earlier run of the
// same saved transaction that a power cut stopped.
bool moved_before(const std::string& source, const std::string& path) {
  struct stat info;
  return ::lstat(source.c_str(), &info) != 0 && errno == ENOENT &&
         ::lstat(path.c_str(), &info) == 0;
}

void move_now(Manifest& manifest, const std::string& path, const ManifestOp& op, bool progress,
              Failures& failures) {
  if (rename_into(op.source, path)) return;
  const int cause = errno;
  // Across file systems a missing source shows as EXDEV.
  if ((cause == ENOENT || cause == EXDEV) && moved_before(op.source, path)) return;
  if (cause != EXDEV) {
    errno = cause;
    failures.report("rename");
    return;
  }
  if (const int error = copy_into_place(manifest, op.source, path, progress)) {
    failures.note(error);
    return;
  }
  // A move source is somebody else's and stays; a staged one is the transaction's own, and
  // would stay in RAM until the next boot.
  if (op.kind == ManifestKind::staged) ::unlink(op.source.c_str());
}

// Flushes, once each, the file systems that hold `dirs` or their nearest existing
// ancestors, so that what was written there survives a power cut. 0, or the errno of the
// first flush that failed.
int sync_dirs(const std::vector<std::string>& dirs) {
  std::set<dev_t> synced;
  int failed = 0;
  for (std::string dir : dirs) {
    struct stat info;
    if (!nearest_existing(dir, info) || !synced.insert(info.st_dev).second) continue;
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) continue;
    if (::syncfs(fd) != 0) {
      const int error = errno;
      std::perror("syncfs");
      if (failed == 0) failed = error;
    }
    ::close(fd);
  }
  return failed;
}

enum class Flushed { sources, targets, downloads };

// The directories whose file systems a step of the commit flushes: those of the moves'
// sources before the first change; those of every target after the last; those of the
// downloads once they are deleted. Paths come in key order, so a directory is mostly the
// last one's.
std::vector<std::string> dirs_of(const Manifest& manifest, Flushed which) {
  std::vector<std::string> dirs;
  for (const auto& [path, op] : manifest.operations()) {
    const bool download = is_consumed_download(path, op);
    if (which == Flushed::sources && !is_move(op)) continue;
    if (which == Flushed::targets && download) continue;
    if (which == Flushed::downloads && !download) continue;
    std::string dir = parent_dir(which == Flushed::sources ? op.source : path);
    if (dirs.empty() || dirs.back() != dir) dirs.push_back(std::move(dir));
  }
  return dirs;
}

// A directory where a file or link is to be placed, which nothing in the transaction
// removes: the commit could never finish, so it must not begin.
int find_obstacle(const Manifest& manifest, const std::string& journal) {
  struct stat journal_info;
  if (!journal.empty() && ::lstat(journal.c_str(), &journal_info) == 0 &&
      !S_ISREG(journal_info.st_mode)) {
    return EISDIR;
  }
  for (const auto& [path, op] : manifest.operations()) {
    if (op.kind == ManifestKind::remove) continue;
    struct stat info;
    if (::lstat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) continue;
    const std::optional<ManifestOp> removal = manifest.find(path + "/");
    if (!removal || removal->kind != ManifestKind::remove) return EISDIR;
  }
  return 0;
}

// Carries out, in path order, the removals and links and then the moves of the paths on one
// side: the database's entries or everything else.
void apply_pass(Manifest& manifest, bool records, bool progress, MoveSources& keep,
                Failures& failures) {
  for (const auto& [path, op] : manifest.operations()) {
    if (is_record(path) != records) continue;
    if (op.kind == ManifestKind::remove && !is_download(path)) {
      remove_now(manifest, path, keep, failures);
    }
    if (op.kind == ManifestKind::link) link_now(manifest, path, op.source, failures);
  }
  // Every removal runs before any move, so a removed directory can be refilled.
  for (const auto& [path, op] : manifest.operations()) {
    if (is_record(path) == records && is_move(op)) {
      move_now(manifest, path, op, progress, failures);
    }
  }
}

}  // namespace

CommitResult commit(Manifest& manifest, bool progress) {
  // Every install judged the flushes of what it staged.
  BackgroundFlush::end_transaction();
  CommitResult result;
  // Something could not be staged, or could never be placed: nothing may change.
  result.error = manifest.failure();
  if (result.error != 0) return result;
  const std::string journal = commit_journal(manifest.staging(), true);
  result.error = find_obstacle(manifest, journal);
  if (result.error != 0) {
    errno = result.error;
    std::perror("rename");
    return result;
  }
  // Every file renamed into place must be on the disk in full before the first change, and
  // so must what runs before, on the disks the commit changes.
  std::vector<std::string> before = dirs_of(manifest, Flushed::sources);
  const std::vector<std::string> targets = dirs_of(manifest, Flushed::targets);
  before.insert(before.end(), targets.begin(), targets.end());
  result.error = sync_dirs(before);
  if (result.error != 0) return result;
  result.changed = true;
  Failures failures;
  MoveSources keep(manifest);
  apply_pass(manifest, false, progress, keep, failures);
  if (const int error = sync_dirs(targets)) failures.note(error);
  // The database's entries come only once every other file is in place and on the disk:
  // they never tell of files that a failure or a cut left out, and the rerun installs again
  // from the download still there. Before their first change (with the room the removals
  // freed), their sources are brought onto their own disk and the journal is written, which
  // makes the next run finish them.
  std::vector<std::string> originals;
  if (failures.first() == 0) {
    if (const int error = bring_records_home(manifest, originals)) failures.note(error);
  }
  bool journaled = false;
  if (failures.first() == 0) {
    if (const int error = write_journal(manifest, journal, journaled)) failures.note(error);
  }
  if (journaled) {
    if (const int error = sync_dirs({parent_dir(journal)})) failures.note(error);
  }
  if (failures.first() == 0) {
    apply_pass(manifest, true, progress, keep, failures);
    if (const int error = sync_dirs(targets)) failures.note(error);
  }
  manifest.forget_directories();
  // Done with the entries: a journal repeated later could undo a newer install. A download
  // goes only once what it brought is on the disk: until then a rerun can repeat the
  // install from it (and after this, it finds the version installed and deletes it).
  if (failures.first() == 0) {
    std::vector<std::string> finished = dirs_of(manifest, Flushed::downloads);
    if (journaled) {
      if (::unlink(journal.c_str()) != 0 && errno != ENOENT) failures.report("unlink");
      finished.push_back(parent_dir(journal));
    }
    for (const auto& [path, op] : manifest.operations()) {
      if (is_consumed_download(path, op)) remove_now(manifest, path, keep, failures);
    }
    if (const int error = sync_dirs(finished)) failures.note(error);
    for (const std::string& original : originals) ::unlink(original.c_str());
  }
  result.error = failures.first();
  return result;
}

void cancel(Manifest& manifest) {
  // A flush that still runs would keep a deleted file's blocks taken until it ends.
  BackgroundFlush::end_transaction();
  for (const auto& [path, op] : manifest.operations()) {
    if (op.kind == ManifestKind::staged && !manifest.dry_run()) ::unlink(op.source.c_str());
  }
  manifest.clear();
}
