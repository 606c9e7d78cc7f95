// One stream for file after file: the database loader opens hundreds of small files in a
// run, and a std::ifstream costs a C stream, a new buffer and locale look-ups for each.
#pragma once

#include <istream>
#include <string>

#include "transaction/read_buffer.h"

class FileInput {
 public:
  FileInput() { buffer_.report_errors_to(in_); }
  FileInput(const FileInput&) = delete;
  FileInput& operator=(const FileInput&) = delete;

  // The file at `path` from its start (links followed; a directory or a pipe opens and
  // fails or ends at its first read), or null when it cannot be opened. Valid until the
  // next open.
  std::istream* open(const std::string& path) {
    in_.clear();
    return buffer_.open(path, OpenAs::any_file) ? &in_ : nullptr;
  }

 private:
  static constexpr size_t BLOCK_SIZE = 4096;
  ReadBuffer buffer_{BLOCK_SIZE};
  std::istream in_{&buffer_};
};
