// A read-only stream buffer that reads one file at a time and is reused from file to file:
// the database loader opens hundreds of small files in a run, and a std::ifstream costs a C
// stream, a new buffer and locale look-ups for each.
#pragma once

#include <sys/types.h>

#include <streambuf>
#include <string>

class FileReader : public std::streambuf {
 public:
  FileReader() = default;
  ~FileReader() override;
  FileReader(const FileReader&) = delete;
  FileReader& operator=(const FileReader&) = delete;

  // Closes the file read before, then opens `path` as open(2) would (links followed; a
  // directory opens too, and reads as empty). False when it cannot be opened.
  [[nodiscard]] bool open(const std::string& path);
  void close();

 protected:
  // A read error ends the file where it happened, as its end would; nothing throws.
  int_type underflow() override;
  pos_type seekoff(off_type offset, std::ios_base::seekdir direction,
                   std::ios_base::openmode which) override;
  pos_type seekpos(pos_type position, std::ios_base::openmode which) override;

 private:
  static constexpr size_t BUFFER_SIZE = 4096;
  int fd_ = -1;
  bool ended_ = false;
  off_t buffer_offset_ = 0;  // file offset of buffer_[0]
  char buffer_[BUFFER_SIZE];
};
