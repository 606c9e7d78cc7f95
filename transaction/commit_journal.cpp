#include "transaction/commit_journal.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "transaction/commit.h"
#include "transaction/file_ops.h"
#include "transaction/manifest.h"
#include "transaction/staging.h"
#include "transaction/system_paths.h"

namespace {

// The device of the file system that receives a file moved to `path`.
bool receiving_device(const std::string& path, dev_t& device) {
  std::string dir = parent_dir(path);
  struct stat info;
  while (::stat(dir.c_str(), &info) != 0) {
    if (dir == "/" || dir == ".") return false;
    dir = parent_dir(dir);
  }
  device = info.st_dev;
  return true;
}

}  // namespace

int bring_records_home(Manifest& manifest) {
  std::vector<std::pair<std::string, std::string>> copies;  // path, copy
  int failed = 0;
  for (const auto& [path, op] : manifest.operations()) {
    dev_t device = 0;
    struct stat source;
    if (!is_record(path) || !is_move(op) || ::stat(op.source.c_str(), &source) != 0 ||
        !receiving_device(path, device) || source.st_dev == device) {
      continue;
    }
    std::string copy = manifest.staging().dir_for(parent_dir(path));
    if (copy.empty()) {
      failed = errno;
      break;
    }
    copy += "/tmpXXXXXX";
    const int fd = ::mkstemp(&copy[0]);
    if (fd < 0 || ::close(fd) != 0 || !copy_file(op.source, copy, false) ||
        ::chmod(copy.c_str(), source.st_mode & 07777) != 0) {
      failed = errno != 0 ? errno : EIO;
      if (fd >= 0) ::unlink(copy.c_str());
      break;
    }
    copies.emplace_back(path, std::move(copy));
  }
  // The copies are the transaction's own; a staged original goes with the replacement.
  for (auto& [path, copy] : copies) manifest.add_staged(copy, path);
  return failed;
}

std::string write_pending_journal(Manifest& manifest, const std::string& journal, int& error) {
  Manifest part;
  for (const auto& [path, op] : manifest.operations()) {
    if (is_record(path) || (op.kind == ManifestKind::remove && is_download(path)))
      part.put_op(path, op);
  }
  if (part.empty()) return {};
  std::string pending = journal.empty() ? journal : parent_dir(journal) + "/tmpXXXXXX";
  const int fd = pending.empty() ? -1 : ::mkstemp(&pending[0]);
  if (fd < 0 || ::close(fd) != 0 || !part.save(pending)) {
    error = errno != 0 ? errno : EIO;
    if (fd >= 0) ::unlink(pending.c_str());
    std::perror("journal");
    return {};
  }
  return pending;
}

std::string commit_journal(StagingAreas& areas, bool create) {
  std::string dir = DATABASE_ROOT;
  struct stat info;
  while (::stat(dir.c_str(), &info) != 0 && dir != "/" && dir != ".") dir = parent_dir(dir);
  const std::string area = create ? areas.dir_for(dir) : areas.find(dir);
  return area.empty() ? area : area + "/" + JOURNAL_NAME;
}

bool finish_interrupted_commit(Manifest& manifest, CommitResult& result) {
  const std::string journal = commit_journal(manifest.staging(), false);
  struct stat info;
  if (journal.empty() || ::lstat(journal.c_str(), &info) != 0) return false;
  Manifest interrupted;
  if (!S_ISREG(info.st_mode) || !interrupted.load(journal)) {
    // Not one this installer wrote whole (saving renames a complete file into place).
    ::unlink(journal.c_str());
    return false;
  }
  result = commit(interrupted, false);
  return true;
}
