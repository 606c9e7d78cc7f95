// An output stream buffer on a new file: the tee that keeps a copy of a package arriving on
// standard input, and under the stream of each file the transaction stages. It keeps its
// first error, so that a copy cut short by a full flash is never taken for a whole one.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <ostream>
#include <streambuf>
#include <string>

class FileSink : public std::streambuf {
 public:
  FileSink() = default;
  ~FileSink() override;
  FileSink(const FileSink&) = delete;
  FileSink& operator=(const FileSink&) = delete;

  // Makes `path` a new file, removing what stood there (never writing through a link or
  // into a pipe); false with errno set when that cannot be done (a directory stands there).
  [[nodiscard]] bool open(const std::string& path);
  // Makes a new file of a unique name in `dir` (as a staged file of a transaction is
  // named) with the permission bits `mode`; the name, or empty with errno set on failure.
  std::string open_unique(const std::string& dir, mode_t mode);
  // Takes over `fd`, an open file to write from its start, and closes it with itself.
  // With `early_writeback` the disk starts writing each whole step of the file while the
  // rest is still being made, and BackgroundFlush flushes it now and then, so that a flush
  // at the end finds most of it written; a failed flush then fails the close.
  void adopt(int fd, bool early_writeback = false);
  // Opens on nothing, for a dry run: every write succeeds, is counted, and is dropped.
  void discard();
  // Writes out what is buffered and closes; false when any write failed or the close did.
  [[nodiscard]] bool close();
  bool is_open() const { return fd_ >= 0 || discarding_; }
  // Bytes written out since it was opened.
  uint64_t written() const { return written_; }
  // errno of the first failure, 0 when none.
  int error() const { return error_; }

 protected:
  int_type overflow(int_type c) override;
  std::streamsize xsputn(const char* data, std::streamsize count) override;
  int sync() override;

 private:
  bool flush_buffer();
  bool write_out(const char* data, size_t size);
  void start_writeback();

  static constexpr size_t BUFFER_SIZE = 65536;
  static constexpr uint64_t WRITEBACK_STEP = 1 << 20;
  static constexpr uint64_t WRITEBACK_TAIL = 64 << 10;
  int fd_ = -1;
  int error_ = 0;
  bool discarding_ = false;
  bool early_writeback_ = false;
  uint64_t written_ = 0;
  uint64_t written_back_ = 0;  // the bytes before this offset are on their way to the disk
  char buffer_[BUFFER_SIZE];
};

// An output stream on a file it owns, as Manifest::create_file hands back: one descriptor,
// opened once, and a buffer inside the object. The disk starts writing a large file while
// it is made (early_writeback), so that the commit's flush overlaps the decompression.
class FileStream : public std::ostream {
 public:
  // `fd` -1 makes a stream that is not open and fails every write.
  explicit FileStream(int fd);
  // A stream that takes every write and keeps nothing, as a dry run stages.
  struct Discarding {};
  explicit FileStream(Discarding);
  FileStream(const FileStream&) = delete;
  FileStream& operator=(const FileStream&) = delete;

  bool is_open() const { return sink_.is_open(); }
  // Writes out what is buffered and closes; on failure, or when it was not open, the
  // stream is failed and errno tells the first cause.
  void close();

 private:
  FileSink sink_;
};
