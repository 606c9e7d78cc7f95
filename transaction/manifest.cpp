#include "transaction/manifest.h"

#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <vector>

#include "package/system_paths.h"
#include "transaction/file_ops.h"

namespace {

constexpr const char* TEMP_NAME = "/tmpXXXXXX";
constexpr size_t SAVE_CHUNK = 16384;

bool exists(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0;
}

}  // namespace

// The nearest existing ancestor of `path` when its file system has room for the hint
// plus a tenth, so that the commit renames instead of copying; else "/ram". The ancestor
// found for the last parent directory is where the next search in that directory starts:
// no directory appears before the commit, so the ones passed over are still missing.
std::string Manifest::temp_dir_for(const std::string& path, uint64_t size_hint) {
  if (size_hint == 0) return exists(RAM_DIR) ? RAM_DIR : TMP_DIR;
  std::string parent = parent_dir(path);
  struct statfs info;
  if (parent != last_parent_ || ::statfs(last_existing_.c_str(), &info) != 0) {
    last_parent_.clear();
    std::string dir = parent;
    while (::statfs(dir.c_str(), &info) != 0) {
      if (dir == "/" || dir == ".") return RAM_DIR;
      dir = parent_dir(dir);
    }
    // A file where a directory of the path belongs: the commit could never place it.
    struct stat kind;
    if (::stat(dir.c_str(), &kind) != 0 || !S_ISDIR(kind.st_mode)) {
      errno = ENOTDIR;
      return {};
    }
    last_parent_ = std::move(parent);
    last_existing_ = std::move(dir);
  }
  const uint64_t free_bytes = static_cast<uint64_t>(info.f_bsize) * info.f_bfree;
  return size_hint + size_hint / 10 < free_bytes ? last_existing_ : RAM_DIR;
}

namespace {

// No system call takes a longer path, and a hostile saved transaction must not make the
// commit's directory walk cost more than one path's worth of memory.
bool fits_path_max(const std::string& path) { return path.size() < PATH_MAX; }

// The letter of a kind in the transaction's table; the saved form calls staged files moves.
char stored_letter(ManifestKind kind) {
  switch (kind) {
    case ManifestKind::remove:
      return 'U';
    case ManifestKind::link:
      return 'L';
    case ManifestKind::move:
      return 'M';
    case ManifestKind::staged:
      break;
  }
  return 'S';
}

char saved_letter(ManifestKind kind) {
  return kind == ManifestKind::staged ? 'M' : stored_letter(kind);
}

// Into `op`, whose source keeps its buffer.
void decode(std::string_view value, ManifestOp& op) {
  switch (value.empty() ? 'U' : value[0]) {
    case 'L':
      op.kind = ManifestKind::link;
      break;
    case 'M':
      op.kind = ManifestKind::move;
      break;
    case 'S':
      op.kind = ManifestKind::staged;
      break;
    default:
      op.kind = ManifestKind::remove;
  }
  op.source.assign(value.empty() ? value : value.substr(1));
}

ManifestOp decode(std::string_view value) {
  ManifestOp op;
  decode(value, op);
  return op;
}

bool is_staged(std::string_view value) { return !value.empty() && value[0] == 'S'; }

// A line that load would split into other fields, or read as several lines. A removed path
// runs to the line end, so it may hold spaces (a download's name).
bool savable(const std::string& path, const ManifestOp& op) {
  const char* unsafe = op.kind == ManifestKind::remove ? "\n" : " \n";
  return path.find_first_of(unsafe) == std::string::npos &&
         op.source.find('\n') == std::string::npos;
}

}  // namespace

ManifestOperations::Iterator::Iterator(PathTable::Iterator at, PathTable::Iterator end)
    : at_(at), end_(end) {
  fill();
}

ManifestOperations::Iterator& ManifestOperations::Iterator::operator++() {
  ++at_;
  fill();
  return *this;
}

void ManifestOperations::Iterator::fill() {
  if (at_ == end_) return;
  const PathTable::Entry entry = *at_;
  entry_.path.assign(entry.path);
  decode(entry.value, entry_.op);
}

std::optional<ManifestOp> Manifest::find(const std::string& path) const {
  const std::optional<std::string_view> value = operations_.find(path);
  if (!value) return std::nullopt;
  return decode(*value);
}

bool Manifest::put_op(const std::string& path, ManifestOp op) {
  if (!fits_path_max(path) || !fits_path_max(op.source)) return false;
  std::string replaced;
  if (const auto old = operations_.find(path); old && is_staged(*old)) {
    replaced.assign(old->substr(1));
  }
  std::string value(1, stored_letter(op.kind));
  value += op.source;
  operations_.put(path, value);
  if (!replaced.empty()) delete_staged(replaced);
  return true;
}

void Manifest::add_move(const std::string& source, const std::string& target) {
  put_op(target, {ManifestKind::move, source});
}

void Manifest::add_staged(const std::string& source, const std::string& target) {
  put_op(target, {ManifestKind::staged, source});
}

void Manifest::restage(const std::string& source, const std::string& target) {
  if (!fits_path_max(target) || !fits_path_max(source)) return;
  operations_.put(target, std::string(1, stored_letter(ManifestKind::staged)) + source);
}

void Manifest::add_link(const std::string& link_target, const std::string& link_path) {
  put_op(link_path, {ManifestKind::link, link_target});
}

void Manifest::remove_path(const std::string& path) {
  if (exists(path)) {
    put_op(path, {ManifestKind::remove, {}});
    return;
  }
  const auto found = operations_.find(path);
  if (!found) return;
  // Nothing else would ever delete it: a marker written and withdrawn in one run.
  if (is_staged(*found)) delete_staged(std::string(found->substr(1)));
  operations_.erase(path);
}

void Manifest::withdraw_staged(const std::string& path) {
  const auto found = operations_.find(path);
  if (!found || !is_staged(*found)) return;
  delete_staged(std::string(found->substr(1)));
  operations_.erase(path);
}

void Manifest::drop_below(const std::string& dir) {
  std::vector<std::string> inside;
  for (auto at = operations_.lower_bound(dir); at != operations_.end(); ++at) {
    const PathTable::Entry entry = *at;
    if (entry.path.compare(0, dir.size(), dir) != 0) break;
    inside.emplace_back(entry.path);
  }
  for (const std::string& path : inside) {
    if (const auto found = operations_.find(path); found && is_staged(*found)) {
      delete_staged(std::string(found->substr(1)));
    }
    operations_.erase(path);
  }
}

FileStream Manifest::create_file(const std::string& path, uint64_t size_hint, mode_t mode) {
  if (!fits_path_max(path)) {
    errno = ENAMETOOLONG;
    return FileStream(-1);
  }
  const std::string dir = temp_dir_for(path, size_hint);
  if (dry_run_) {
    const std::string planned = dir.empty() ? dir : planned_file(dir, size_hint);
    if (planned.empty() || !put_op(path, {ManifestKind::staged, planned})) return FileStream(-1);
    return FileStream(FileStream::Discarding{});
  }
  std::string temp = dir.empty() ? dir : staging_.dir_for(dir);
  if (temp.empty()) return FileStream(-1);
  temp += TEMP_NAME;
  const int fd = ::mkstemp(&temp[0]);
  if (fd < 0) return FileStream(-1);
  // An executable staged without its mode bits would be installed without them.
  int cause = 0;
  if (mode != 0 && ::fchmod(fd, mode) != 0) {
    cause = errno;
  } else if (!put_op(path, {ManifestKind::staged, temp})) {
    cause = ENAMETOOLONG;
  }
  if (cause != 0) {
    ::close(fd);
    ::unlink(temp.c_str());
    errno = cause;
    return FileStream(-1);
  }
  return FileStream(fd);
}

bool Manifest::set_staged_mode(const std::string& source, mode_t mode) const {
  return dry_run_ || ::chmod(source.c_str(), mode) == 0;
}

void Manifest::delete_staged(const std::string& source) const {
  if (!dry_run_) ::unlink(source.c_str());
}

namespace {

constexpr const char* PLANNED_NAME = "/planned.";

}  // namespace

std::string Manifest::planned_file(const std::string& dir, uint64_t size) {
  std::string area = staging_.path_for(dir);
  if (area.empty()) return area;
  // Never made, so never the name of a file that exists: no staged name has a dot.
  area += PLANNED_NAME + std::to_string(planned_sizes_.size());
  planned_sizes_.push_back(size);
  return area;
}

// The index a planned file's name ends in; none for any other name.
std::optional<size_t> Manifest::planned_index(const std::string& source) const {
  const size_t mark = source.rfind(PLANNED_NAME);
  if (!dry_run_ || mark == std::string::npos) return std::nullopt;
  const size_t start = mark + std::strlen(PLANNED_NAME);
  size_t index = 0;
  for (size_t i = start; i < source.size(); ++i) {
    if (source[i] < '0' || source[i] > '9' || index > planned_sizes_.size()) return std::nullopt;
    index = index * 10 + size_t(source[i] - '0');
  }
  if (start == source.size() || index >= planned_sizes_.size()) return std::nullopt;
  return index;
}

std::string Manifest::open_copy(const std::string& dir, mode_t mode, FileSink& sink) {
  if (dry_run_) {
    sink.discard();
    return planned_file(dir, 0);
  }
  const std::string area = staging_.dir_for(dir);
  return area.empty() ? area : sink.open_unique(area, mode);
}

std::optional<uint64_t> Manifest::planned_size(const std::string& source) const {
  if (const auto index = planned_index(source)) return planned_sizes_[*index];
  return std::nullopt;
}

void Manifest::plan_size(const std::string& source, uint64_t size) {
  if (const auto index = planned_index(source)) planned_sizes_[*index] = size;
}

bool Manifest::keep_directory(const std::string& path) {
  if (const auto found = operations_.find(path)) {
    if (decode(*found).kind != ManifestKind::remove) return false;
    operations_.erase(path);
  }
  struct stat info;
  return ::stat(path.c_str(), &info) != 0 || S_ISDIR(info.st_mode);
}

bool Manifest::save(const std::string& file) const {
  for (const auto& [path, op] : operations()) {
    if (!savable(path, op)) {
      errno = EINVAL;
      return false;
    }
  }
  // Written in the staging directory of its file system and renamed into place: a reader
  // never sees part of it, and what a cut leaves is deleted by the next run.
  std::string temp = staging_.dir_for(parent_dir(file));
  if (temp.empty()) return false;
  temp += TEMP_NAME;
  const int fd = ::mkstemp(&temp[0]);
  if (fd < 0) return false;
  std::string text;
  bool written = true;
  for (const auto& [path, op] : operations()) {
    text += saved_letter(op.kind);
    text += ' ';
    text += path;
    if (op.kind != ManifestKind::remove) text += ' ' + op.source;
    text += '\n';
    if (text.size() >= SAVE_CHUNK) {
      written = written && write_all(fd, text.data(), text.size());
      text.clear();
    }
  }
  written = written && write_all(fd, text.data(), text.size()) && ::fsync(fd) == 0;
  int cause = errno;
  if (::close(fd) != 0 && written) {
    written = false;
    cause = errno;
  }
  if (written) {
    if (::rename(temp.c_str(), file.c_str()) == 0) return true;
    cause = errno;
  }
  ::unlink(temp.c_str());
  errno = cause;
  return false;
}

bool Manifest::load(const std::string& file) {
  std::ifstream in(file, std::ios::in | std::ios::binary);
  if (!in.is_open()) return false;
  std::string line;
  for (;;) {
    if (in.fail()) return !operations_.empty();
    std::getline(in, line);
    if (line.empty()) return true;
    if (!load_line(line)) return false;
  }
}

bool Manifest::load_line(const std::string& line) {
  const size_t first_space = line.find(' ');
  if (first_space == std::string::npos) return false;
  const std::string letter = line.substr(0, first_space);
  if (letter == "U") return put_op(line.substr(first_space + 1), {ManifestKind::remove, {}});
  const size_t second_space = line.find(' ', first_space + 1);
  const std::string path = line.substr(first_space + 1, second_space - first_space - 1);
  const bool has_source = second_space != std::string::npos;
  const std::string source = has_source ? line.substr(second_space + 1) : std::string();
  if (letter == "L") return has_source && put_op(path, {ManifestKind::link, source});
  if (letter == "M") {
    // A file in a staging directory was made by the run that saved the transaction.
    const ManifestKind kind = staging_.holds(source) ? ManifestKind::staged : ManifestKind::move;
    return has_source && put_op(path, {kind, source});
  }
  return true;
}
