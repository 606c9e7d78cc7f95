#include "transaction/file_ops.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <iostream>
#include <vector>

namespace {

constexpr size_t COPY_CHUNK = 16384;
constexpr uint32_t SPINNER_STEP = 20;
constexpr uint32_t BOOT_TICK_OFFSET = 30000;
constexpr char SPINNER_CHARS[] = "|/-\\";
constexpr unsigned SPINNER_STATES = 4;

Spinner& process_spinner() {
  static Spinner spinner;
  return spinner;
}

bool copy_bytes(int from, int to, bool progress) {
  char chunk[COPY_CHUNK];
  for (;;) {
    const ssize_t got = read_retrying(from, chunk, sizeof chunk);
    if (got < 0) return false;
    if (got == 0) return true;
    if (!write_all(to, chunk, static_cast<size_t>(got))) return false;
    if (progress) process_spinner().advance(ticks(), std::cout);
  }
}

}  // namespace

ssize_t read_retrying(int fd, char* buffer, size_t size) {
  ssize_t got;
  do {
    got = ::read(fd, buffer, size);
  } while (got < 0 && errno == EINTR);
  return got;
}

bool write_all(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t written = ::write(fd, data, size);
    if (written < 0 && errno == EINTR) continue;
    // 0 bytes written with bytes to write would loop for ever; a full disk says ENOSPC.
    if (written <= 0) return false;
    data += written;
    size -= static_cast<size_t>(written);
  }
  return true;
}

std::string parent_dir(const std::string& path) {
  // POSIX dirname on the path without its trailing "/", without copying the path: this
  // runs several times for every file installed.
  size_t length = path.size();
  while (length > 0 && path[length - 1] == '/') --length;
  const size_t last = length == 0 ? std::string::npos : path.rfind('/', length - 1);
  if (last == std::string::npos) return ".";
  size_t end = last;
  while (end > 0 && path[end - 1] == '/') --end;
  if (end > 0) return path.substr(0, end);
  return last == 1 ? "//" : "/";  // dirname keeps exactly two leading slashes
}

bool nearest_existing(std::string& dir, struct stat& info) {
  while (::stat(dir.c_str(), &info) != 0) {
    if (dir == "/" || dir == ".") return false;
    dir = parent_dir(dir);
  }
  return true;
}

namespace {

// The length of the prefix of `path` that parent_dir takes from its first `length`
// characters; npos when that parent is "/" or ".", which exist.
size_t parent_length(const std::string& path, size_t length) {
  while (length > 0 && path[length - 1] == '/') --length;
  const size_t slash = length == 0 ? std::string::npos : path.rfind('/', length - 1);
  if (slash == std::string::npos) return std::string::npos;
  size_t end = slash;
  while (end > 0 && path[end - 1] == '/') --end;
  return end == 0 ? std::string::npos : end;
}

bool make_dir(std::string& buffer, size_t length) {
  // The buffer is cut in place, so that no ancestor costs a copy however deep the path.
  const char saved = buffer[length];
  buffer[length] = '\0';
  const bool made = ::mkdir(buffer.c_str(), 0777) == 0 || errno == EEXIST;
  buffer[length] = saved;
  return made;
}

}  // namespace

void make_dirs(const std::string& path) {
  std::string buffer = path;
  std::vector<size_t> missing;  // ancestors that could not be made, deepest first
  size_t length = buffer.size();
  while (!make_dir(buffer, length)) {
    missing.push_back(length);
    length = parent_length(buffer, length);
    if (length == std::string::npos) break;
  }
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) make_dir(buffer, *it);
}

bool copy_file(const std::string& source, const std::string& target, bool progress) {
  struct stat info;
  if (::stat(source.c_str(), &info) != 0) return false;
  if (!S_ISREG(info.st_mode)) {
    errno = S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
    return false;
  }
  const int to = ::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC, info.st_mode & 0xFFF);
  const int from = ::open(source.c_str(), O_RDONLY);
  bool copied = false;
  // The copy is renamed into place afterwards: it must be on the disk in full first.
  if (to >= 0 && from >= 0) copied = copy_bytes(from, to, progress) && ::fsync(to) == 0;
  if (to >= 0 && ::close(to) != 0) copied = false;
  if (from >= 0) ::close(from);
  return copied;
}

uint32_t ticks() {
  errno = 0;
  long raw = ::syscall(SYS_times, nullptr);
  // The wrapper folds kernel results -4095..-1 into -1 and errno; the raw value is wanted.
  if (raw == -1 && errno != 0) raw = -errno;
  return static_cast<uint32_t>(static_cast<unsigned long>(raw) + BOOT_TICK_OFFSET);
}

void Spinner::advance(uint32_t now, std::ostream& out) {
  if (last_ == 0) {
    last_ = now;
    out << SPINNER_CHARS[index_] << std::flush;
    index_ = (index_ + 1) % SPINNER_STATES;
    return;
  }
  if (now - last_ <= SPINNER_STEP) return;
  // Catching up by fixed steps keeps the turning rate even after a slow chunk.
  last_ += SPINNER_STEP;
  out << '\b' << SPINNER_CHARS[index_] << std::flush;
  index_ = (index_ + 1) % SPINNER_STATES;
}
