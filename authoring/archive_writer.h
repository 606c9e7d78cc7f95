// Builds the file archive of a package: file entries back to back, compressed as one zlib
// stream. Used by the package writer, the package tool and tests. The entry layout is in
// format/archive_reader.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "format/archive_reader.h"

struct ArchiveEntry {
  uint16_t mode = MODE_REGULAR_FILE | 0644;
  uint8_t processor = 0;
  std::string name;
  std::string data;
  // When not empty, the data is this file's contents instead of `data`; it is streamed
  // while compressing, so a big file costs no memory.
  std::string data_path;
};

// Receives compressed bytes; false stops the compression.
using ByteSink = std::function<bool(const char* bytes, size_t count)>;

// The 30-byte header of `entry` followed by its name, for data of `data_length` bytes.
// A name longer than 65535 bytes is cut.
std::string encode_entry_header(const ArchiveEntry& entry, uint32_t data_length);

// Compresses `entries` in order into one zlib stream handed to `sink` in pieces, at a fixed
// level: the same entries give the same bytes. False, with
// `error` set, when a data file cannot be read whole, a name or a file is too long for its
// field, or the sink refuses.
[[nodiscard]] bool compress_archive(const std::vector<ArchiveEntry>& entries, const ByteSink& sink,
                                    std::string& error);

// The zlib stream of `bytes`: for archives whose decompressed contents are built by hand.
std::string zlib_compress(const std::string& bytes);
