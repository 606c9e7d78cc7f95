// A read-only stream buffer that reads one file at a time and is reused from file to file:
// the database loader opens hundreds of small files in a run, and a std::ifstream costs a C
// stream, a new buffer and locale look-ups for each.
#pragma once

#include <sys/types.h>

#include <istream>
#include <streambuf>
#include <string>

class FileReader : public std::streambuf {
 public:
  FileReader() = default;
  ~FileReader() override;
  FileReader(const FileReader&) = delete;
  FileReader& operator=(const FileReader&) = delete;

  // Closes the file read before, then opens `path` as open(2) would (links followed; a
  // directory opens too, and its first read fails; a pipe never waits for a writer). False
  // when it cannot be opened.
  [[nodiscard]] bool open(const std::string& path);
  void close();
  // The stream that reads through this buffer: a read error marks it bad, as the standard
  // file buffer's exception does, so that a token or line the error cut short fails instead
  // of passing for the file's last one.
  void report_errors_to(std::ios& stream) { stream_ = &stream; }

 protected:
  // A read error closes the file: nothing after it is read, not even after a seek, as a
  // source dropped after the standard file buffer's exception; nothing throws.
  int_type underflow() override;
  pos_type seekoff(off_type offset, std::ios_base::seekdir direction,
                   std::ios_base::openmode which) override;
  pos_type seekpos(pos_type position, std::ios_base::openmode which) override;

 private:
  static constexpr size_t BUFFER_SIZE = 4096;
  int fd_ = -1;
  std::ios* stream_ = nullptr;
  bool ended_ = false;
  off_t buffer_offset_ = 0;  // file offset of buffer_[0]
  char buffer_[BUFFER_SIZE];
};

// One stream over one FileReader, for file after file.
class FileInput {
 public:
  FileInput() { reader_.report_errors_to(in_); }
  FileInput(const FileInput&) = delete;
  FileInput& operator=(const FileInput&) = delete;

  // The file at `path` from its start, or null when it cannot be opened. Valid until the
  // next open.
  std::istream* open(const std::string& path) {
    in_.clear();
    return reader_.open(path) ? &in_ : nullptr;
  }

 private:
  FileReader reader_;
  std::istream in_{&reader_};
};
