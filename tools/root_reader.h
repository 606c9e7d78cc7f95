// Reading a router root from outside it, without entering it: a path inside the root is
// turned into a host path as a process chrooted into the root would see it, and files are
// read without touching them. No privileges are needed, only read access to the root.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <streambuf>
#include <string>

// The host path that the absolute `path` names inside `root` ("/" for the machine's own).
// Symbolic links are followed as inside the root: an absolute target starts again at the
// root, and ".." never climbs above it. A link in the last component is followed only with
// `follow_last`. False with errno set (ENOENT, ENOTDIR, ELOOP, EACCES, ...) when a
// component is missing, is not a directory, or a link cannot be read.
[[nodiscard]] bool resolve_in_root(const std::string& root, const std::string& path,
                                   bool follow_last, std::string& host_path);

// A file opened for reading only, through its own buffer, without updating its access time
// where the kernel allows that (the owner's files, or any with the capability).
class ReadOnlyFile : public std::streambuf {
 public:
  ReadOnlyFile() = default;
  ~ReadOnlyFile() override;
  ReadOnlyFile(const ReadOnlyFile&) = delete;
  ReadOnlyFile& operator=(const ReadOnlyFile&) = delete;

  // Opens `host_path`, not following a link in its last component; false with errno set.
  [[nodiscard]] bool open(const std::string& host_path);
  // The opened file's status.
  const struct stat& status() const { return status_; }
  // Up to `count` bytes past the buffer, going on after short reads; fewer only at the end
  // of the file or on an error. Not to be mixed with reads through a stream.
  size_t read_direct(char* out, size_t count);

 protected:
  int_type underflow() override;

 private:
  static constexpr size_t BUFFER_SIZE = 16384;
  int fd_ = -1;
  struct stat status_ {};
  char buffer_[BUFFER_SIZE];
};
