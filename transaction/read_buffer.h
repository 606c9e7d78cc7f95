// The one input stream buffer over a file descriptor: downloads, standard input, database
// files and the files an audit compares are all read through it. It reads in blocks of a
// size chosen by its owner, reuses its buffer from file to file, and never throws.
//
// Read errors: the first one ends the file. Nothing after it is read, not even after a
// seek; failed() tells it apart from the end of the file, and a stream named with
// report_errors_to() is marked bad, as the standard file buffer's exception would leave it,
// so that a token or line the error cut short fails instead of passing for the file's last.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <ios>
#include <memory>
#include <streambuf>
#include <string>

enum class OpenAs {
  // Links followed; a directory opens, and its first read fails.
  any_file,
  // Links followed; another kind of file is refused with EINVAL.
  regular_file,
  // A link in the last component is refused (ELOOP); the access time is left alone where
  // the kernel allows that (the owner's files, or any with the capability).
  untouched,
};

class ReadBuffer : public std::streambuf {
 public:
  explicit ReadBuffer(size_t block_size);
  ~ReadBuffer() override;
  ReadBuffer(const ReadBuffer&) = delete;
  ReadBuffer& operator=(const ReadBuffer&) = delete;

  // Closes the file read before, then opens `path`. Opening never waits (a pipe without a
  // writer then reads as empty). False with errno set when it cannot be opened.
  [[nodiscard]] bool open(const std::string& path, OpenAs how);
  // Reads `fd`, open on a file of any kind (standard input), which close() leaves open. It
  // seeks only when the descriptor does.
  void borrow(int fd);
  void close();

  // The status of the file opened (zero for a borrowed descriptor).
  const struct stat& status() const { return status_; }
  bool failed() const { return failed_; }
  void report_errors_to(std::ios& stream) { stream_ = &stream; }

  // Up to `count` bytes, from the buffer first, going on after short reads: fewer only at
  // the end of the file or on an error.
  size_t read_all(char* out, size_t count);

 protected:
  int_type underflow() override;
  pos_type seekoff(off_type offset, std::ios_base::seekdir direction,
                   std::ios_base::openmode which) override;
  pos_type seekpos(pos_type position, std::ios_base::openmode which) override;

 private:
  void fail();
  void empty_at(off_t offset);
  char* data() const { return storage_.get() + 1; }

  const size_t block_size_;
  std::unique_ptr<char[]> storage_;  // the first byte keeps the last one read, for a putback
  int fd_ = -1;
  bool owned_ = false;
  bool seekable_ = false;
  bool ended_ = false;
  bool failed_ = false;
  off_t offset_ = 0;  // file offset of data()[0]
  struct stat status_ {};
  std::ios* stream_ = nullptr;
};
