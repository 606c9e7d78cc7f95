// Reading the file archive of a package (part type 4) once it is decompressed: file
// entries back to back until the data ends.
//
// Entry layout, integers little-endian:
//   0   u16  mode: file type bits (mask 0xF000) and permissions, as in a Unix mode
//   2   21   not read
//   23  u8   processor selector: 0 for any processor, else one processor family
//   24  u32  data length
//   28  u16  name length
//   30       name (not terminated), then the data
// Data that ends where an entry would begin, or inside the 30 header bytes, ends the
// archive normally; data that ends inside a name or inside a file's contents is broken.
#pragma once

#include <cstddef>
#include <cstdint>
#include <istream>
#include <string>

constexpr size_t ARCHIVE_ENTRY_HEADER_SIZE = 30;
constexpr uint16_t MODE_TYPE_BITS = 0170000;
constexpr uint16_t MODE_REGULAR_FILE = 0100000;

struct ArchiveEntryHeader {
  uint16_t mode = 0;
  uint8_t processor = 0;
  uint32_t data_length = 0;
  std::string name;

  bool is_regular_file() const { return (mode & MODE_TYPE_BITS) == MODE_REGULAR_FILE; }
};

enum class EntryRead {
  entry,       // header and name read; the entry's data comes next
  end,         // the data ended where an entry would begin
  header_cut,  // the data ended inside an entry's 30 header bytes; installing takes it as
               // the end, the package tool reports it
  broken,      // the name was cut short
};

// Reads the next entry's header and name from the decompressed `archive`.
EntryRead read_archive_entry(std::istream& archive, ArchiveEntryHeader& entry);

// Passes over the data of the entry just read; false when it is cut short.
[[nodiscard]] bool skip_entry_data(std::istream& archive, const ArchiveEntryHeader& entry);
