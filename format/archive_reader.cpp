#include "format/archive_reader.h"

#include "crypto/little_endian.h"

EntryRead read_archive_entry(std::istream& archive, ArchiveEntryHeader& entry) {
  if (archive.fail()) return EntryRead::end;
  unsigned char header[ARCHIVE_ENTRY_HEADER_SIZE];
  archive.read(reinterpret_cast<char*>(header), sizeof header);
  if (archive.gcount() == 0) return EntryRead::end;
  if (size_t(archive.gcount()) != sizeof header) return EntryRead::header_cut;
  entry.mode = load_u16(header);
  entry.processor = header[23];
  entry.data_length = load_u32(header + 24);
  entry.name.assign(load_u16(header + 28), '\0');
  if (entry.name.empty()) return EntryRead::entry;
  archive.read(&entry.name[0], std::streamsize(entry.name.size()));
  return size_t(archive.gcount()) == entry.name.size() ? EntryRead::entry : EntryRead::broken;
}

bool skip_entry_data(std::istream& archive, const ArchiveEntryHeader& entry) {
  if (entry.data_length == 0) return true;
  return static_cast<bool>(archive.seekg(entry.data_length, std::ios::cur));
}
