#include "transaction/commit_journal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "transaction/commit.h"
#include "transaction/file_ops.h"
#include "transaction/manifest.h"
#include "transaction/staging.h"
#include "transaction/path_kinds.h"

namespace {

// The device of the file system that receives a file moved to `path`.
bool receiving_device(const std::string& path, dev_t& device) {
  std::string dir = parent_dir(path);
  struct stat info;
  if (!nearest_existing(dir, info)) return false;
  device = info.st_dev;
  return true;
}

// Only what a commit writes there: the database's entries and the removal of downloads.
bool is_journal_entry(const std::string& path, const ManifestOp& op) {
  if (op.kind == ManifestKind::remove && is_download(path)) return true;
  return is_record(path) && path != DATABASE_ROOT;
}

}  // namespace

int copy_to_staging(Manifest& manifest, const std::string& source, const std::string& path,
                    bool progress, std::string& copy) {
  errno = 0;
  copy = manifest.staging().new_file(parent_dir(path));
  struct stat info;
  if (!copy.empty() && copy_file(source, copy, progress) && ::stat(source.c_str(), &info) == 0 &&
      ::chmod(copy.c_str(), info.st_mode & 07777) == 0) {
    return 0;
  }
  const int cause = errno != 0 ? errno : EIO;
  if (!copy.empty()) ::unlink(copy.c_str());
  copy.clear();
  return cause;
}

int bring_records_home(Manifest& manifest, std::vector<std::string>& originals) {
  std::vector<std::pair<std::string, std::string>> copies;  // path, copy
  int failed = 0;
  for (const auto& [path, op] : manifest.operations()) {
    dev_t device = 0;
    struct stat source;
    if (!is_record(path) || !is_move(op) || ::stat(op.source.c_str(), &source) != 0 ||
        !receiving_device(path, device) || source.st_dev == device) {
      continue;
    }
    std::string copy;
    failed = copy_to_staging(manifest, op.source, path, false, copy);
    if (failed != 0) break;
    copies.emplace_back(path, std::move(copy));
    if (op.kind == ManifestKind::staged) originals.push_back(op.source);
  }
  for (auto& [path, copy] : copies) manifest.restage(copy, path);
  return failed;
}

int write_journal(Manifest& manifest, const std::string& journal, bool& written) {
  written = false;
  Manifest part;
  for (const auto& [path, op] : manifest.operations()) {
    if (is_journal_entry(path, op)) part.put_op(path, op);
  }
  if (part.empty()) return 0;
  // Staged first, so that a journal is only ever whole, and one never armed is deleted by
  // the next run.
  errno = 0;
  const std::string pending =
      journal.empty() ? journal : manifest.staging().new_file(parent_dir(journal));
  if (!pending.empty() && part.save(pending) && ::rename(pending.c_str(), journal.c_str()) == 0) {
    written = true;
    return 0;
  }
  const int cause = errno != 0 ? errno : EIO;
  if (!pending.empty()) ::unlink(pending.c_str());
  errno = cause;
  std::perror("journal");
  return cause;
}

std::string commit_journal(StagingAreas& areas, bool create) {
  std::string dir = DATABASE_ROOT;
  struct stat info;
  if (!nearest_existing(dir, info)) return {};
  const std::string area = create ? areas.dir_for(dir) : areas.find(dir);
  return area.empty() ? area : area + "/" + JOURNAL_NAME;
}

bool finish_interrupted_commit(Manifest& manifest, CommitResult& result) {
  const std::string journal = commit_journal(manifest.staging(), false);
  struct stat info;
  // What is not a file is no journal; the commit refuses to begin beside it.
  if (journal.empty() || ::lstat(journal.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
    return false;
  }
  // A journal that cannot be read now is kept for a run that can.
  const int fd = ::open(journal.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    result = {errno, false};
    return true;
  }
  ::close(fd);
  Manifest interrupted;
  bool valid = interrupted.load(journal) && !interrupted.empty();
  for (const auto& [path, op] : interrupted.operations())
    valid = valid && is_journal_entry(path, op);
  if (!valid) {
    // Not one this installer wrote (saving renames a complete file into place).
    ::unlink(journal.c_str());
    return false;
  }
  result = commit(interrupted, false);
  if (result.error == 0) ::unlink(journal.c_str());
  return true;
}
