#include "transaction/file_ops.h"

#include <fcntl.h>
#include <libgen.h>
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

// A short write is a failure, not a reason to retry: the disk is full or gave up.
bool write_chunk(int fd, const char* data, size_t size) {
  ssize_t written;
  do {
    written = ::write(fd, data, size);
  } while (written < 0 && errno == EINTR);
  return written >= 0 && static_cast<size_t>(written) == size;
}

bool copy_bytes(int from, int to, bool progress) {
  char chunk[COPY_CHUNK];
  for (;;) {
    const ssize_t got = ::read(from, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) return true;
    if (!write_chunk(to, chunk, static_cast<size_t>(got))) return false;
    if (progress) process_spinner().advance(ticks(), std::cout);
  }
}

}  // namespace

std::string parent_dir(const std::string& path) {
  std::string trimmed = path;
  while (!trimmed.empty() && trimmed.back() == '/') trimmed.pop_back();
  // dirname may write into its argument, so it gets a private copy.
  std::vector<char> buffer(trimmed.begin(), trimmed.end());
  buffer.push_back('\0');
  return ::dirname(buffer.data());
}

void make_dirs(const std::string& path) {
  if (::mkdir(path.c_str(), 0777) == 0 || errno == EEXIST) return;
  const std::string parent = parent_dir(path);
  // Stops at "/" and "." because those exist.
  if (parent != path) make_dirs(parent);
  ::mkdir(path.c_str(), 0777);
}

bool copy_file(const std::string& source, const std::string& target, bool progress) {
  struct stat info;
  if (::stat(source.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
  const int to = ::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC, info.st_mode & 0xFFF);
  const int from = ::open(source.c_str(), O_RDONLY);
  bool copied = false;
  if (to >= 0 && from >= 0) copied = copy_bytes(from, to, progress);
  if (to >= 0) ::close(to);
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
