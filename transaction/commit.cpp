#include "transaction/commit.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <set>
#include <utility>

#include "transaction/background_flush.h"
#include "transaction/file_ops.h"
#include "transaction/manifest.h"

namespace {

// Files that the second pass will move, by device and inode, so that the removal of the
// directory holding them (a staged file sits beside its target) spares them. A move whose
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

// Only plain entries go: a subdirectory or a dot-file keeps the directory in place.
void remove_directory(const std::string& path, MoveSources& keep) {
  DIR* dir = ::opendir(path.c_str());
  if (dir) {
    while (const dirent* entry = ::readdir(dir)) {
      if (entry->d_name[0] == '\0' || entry->d_name[0] == '.') continue;
      const std::string entry_path = path + "/" + entry->d_name;
      struct stat info;
      if (::lstat(entry_path.c_str(), &info) == 0 && keep.contains(info)) continue;
      ::unlink(entry_path.c_str());
    }
    ::closedir(dir);
  }
  ::rmdir(path.c_str());
}

void remove_now(const std::string& path, MoveSources& keep) {
  if (::unlink(path.c_str()) != 0 && errno == EISDIR) remove_directory(path, keep);
}

// The link is made under a second name beside the path and renamed over it, so that a power
// cut leaves the old entry or the new link, never neither; a second name that a cut left is
// a link, and is replaced. A directory at the path stays, as it always did. Directories are
// made only when it turns out that they are missing: most exist.
void link_now(const std::string& path, const std::string& link_target) {
  const std::string dir = parent_dir(path);
  const std::string temp = dir + "/.link-" + path.substr(path.rfind('/') + 1, 200);
  struct stat info;
  if (::lstat(temp.c_str(), &info) == 0 && S_ISLNK(info.st_mode)) ::unlink(temp.c_str());
  bool made = ::symlink(link_target.c_str(), temp.c_str()) == 0;
  if (!made && errno == ENOENT) {
    make_dirs(dir);
    made = ::symlink(link_target.c_str(), temp.c_str()) == 0;
  }
  if (!made) {
    std::perror("symlink");
    return;
  }
  if (::lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
    errno = EEXIST;
  } else if (::rename(temp.c_str(), path.c_str()) == 0) {
    return;
  }
  std::perror("symlink");
  ::unlink(temp.c_str());
}

bool rename_into(const std::string& source, const std::string& path) {
  if (::rename(source.c_str(), path.c_str()) == 0) return true;
  if (errno != ENOENT) return false;
  make_dirs(parent_dir(path));
  return ::rename(source.c_str(), path.c_str()) == 0;
}

// Copies `source` beside `path` and renames the copy into place, so that a copy that
// fails (a full flash) leaves the old file whole, and a symbolic link at `path` is
// replaced rather than written through. Failures of the copy are silent, as they always
// were; the boot-space check counts the room both files need while it runs.
void copy_into_place(const std::string& source, const std::string& path, bool progress) {
  std::string temp = parent_dir(path) + "/tmpXXXXXX";
  const int fd = ::mkstemp(&temp[0]);
  if (fd < 0) return;
  ::close(fd);
  struct stat info;
  const bool copied = copy_file(source, temp, progress) && ::stat(source.c_str(), &info) == 0 &&
                      ::chmod(temp.c_str(), info.st_mode & 07777) == 0;
  if (!copied || ::rename(temp.c_str(), path.c_str()) != 0) ::unlink(temp.c_str());
}

void move_now(const std::string& path, const ManifestOp& op, bool progress) {
  if (rename_into(op.source, path)) return;
  if (errno == EXDEV) {
    copy_into_place(op.source, path, progress);
    // A move source is somebody else's and stays; a staged one is the transaction's own,
    // and would stay in RAM until the next boot.
    if (op.kind == ManifestKind::staged) ::unlink(op.source.c_str());
  } else {
    std::perror("rename");
    // A staged file that cannot reach its place (a directory stands there) would stay on
    // the flash for good; it is the transaction's own.
    if (op.kind == ManifestKind::staged) ::unlink(op.source.c_str());
  }
}

// Flushes, once each, the file systems that hold the directories of the moves' sources (or
// the targets of moves and links), or their nearest existing ancestors, so that what was
// written there survives a power cut. Paths come in key order, so a directory is mostly the
// last one's.
void sync_file_systems(const Manifest& manifest, bool targets) {
  std::set<dev_t> synced;
  std::string last_parent;
  for (const auto& [path, op] : manifest.operations()) {
    if (!is_move(op) && !(targets && op.kind == ManifestKind::link)) continue;
    std::string dir = parent_dir(targets ? path : op.source);
    if (dir == last_parent) continue;
    last_parent = dir;
    struct stat info;
    while (::stat(dir.c_str(), &info) != 0 && dir != "/" && dir != ".") dir = parent_dir(dir);
    if (!synced.insert(info.st_dev).second) continue;
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) continue;
    (void)::syncfs(fd);
    ::close(fd);
  }
}

}  // namespace

void commit(Manifest& manifest, bool progress) {
  // Every install judged the flushes of what it staged.
  BackgroundFlush::end_transaction();
  MoveSources keep(manifest);
  // A power cut may come at any point from here: every file renamed into place is on the
  // disk in full before the first change, and the changes themselves after the last.
  sync_file_systems(manifest, false);
  for (const auto& [path, op] : manifest.operations()) {
    if (op.kind == ManifestKind::remove) remove_now(path, keep);
    if (op.kind == ManifestKind::link) link_now(path, op.source);
  }
  // Every removal runs before any move, so a removed directory can be refilled.
  for (const auto& [path, op] : manifest.operations()) {
    if (is_move(op)) move_now(path, op, progress);
  }
  sync_file_systems(manifest, true);
  manifest.forget_directories();
}

void cancel(Manifest& manifest) {
  // A flush that still runs would keep a deleted file's blocks taken until it ends.
  BackgroundFlush::end_transaction();
  for (const auto& [path, op] : manifest.operations()) {
    if (op.kind == ManifestKind::staged) ::unlink(op.source.c_str());
  }
  manifest.clear();
}
