// An input stream buffer on one open descriptor of a regular file: what a download is read
// through, so that everything read (and checked) comes from the one file that was opened,
// whatever its name points at later. Standard input is read through one too.
#pragma once

#include <sys/types.h>

#include <streambuf>
#include <string>

class FileSource : public std::streambuf {
 public:
  FileSource() = default;
  ~FileSource() override;
  FileSource(const FileSource&) = delete;
  FileSource& operator=(const FileSource&) = delete;

  // Opens `path` for reading when it is a regular file, without blocking on a pipe or a
  // device on the way; false with errno set otherwise (EINVAL for another kind of file).
  [[nodiscard]] bool open(const std::string& path);
  // Reads `fd`, open on a file of any kind (standard input), which close leaves open.
  void borrow(int fd);
  void close();
  // The permission bits of the file opened, 0 for a borrowed descriptor.
  mode_t mode() const { return mode_; }

 protected:
  int_type underflow() override;
  pos_type seekoff(off_type offset, std::ios_base::seekdir direction,
                   std::ios_base::openmode which) override;

 private:
  static constexpr size_t BUFFER_SIZE = 65536;
  int fd_ = -1;
  bool owned_ = false;
  mode_t mode_ = 0;
  char buffer_[BUFFER_SIZE + 1];  // the first byte keeps the last one read, for a putback
};
