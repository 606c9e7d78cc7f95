// Fuzz target: the inflating stream and the walk over archive entries. An input starting
// with 0 is the compressed stream itself; any other is compressed first, so that the walk
// meets arbitrary entries.
#include <sstream>

#include "format/archive_reader.h"
#include "authoring/archive_writer.h"
#include "format/inflate_stream.h"
#include "fuzz/fuzz_root.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  enter_fuzz_root();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  std::istringstream source(data[0] == 0 ? rest : zlib_compress(rest));
  InflateStream archive(source);
  ArchiveEntryHeader entry;
  uint64_t delivered = 0;
  for (int index = 0;; ++index) {
    const EntryRead read = read_archive_entry(archive, entry);
    if (read != EntryRead::entry) break;
    if (index % 2 == 0) {
      if (!skip_entry_data(archive, entry)) break;
      continue;
    }
    char chunk[4096];
    uint32_t left = entry.data_length;
    while (left > 0) {
      const uint32_t want = std::min<uint32_t>(left, sizeof chunk);
      archive.read(chunk, want);
      delivered += uint64_t(archive.gcount());
      if (uint32_t(archive.gcount()) != want) break;
      left -= want;
      if (archive.unget()) archive.get();  // a putback at any point of the area
    }
    if (left > 0) break;
  }
  // What comes out of a stream of bytes is never more than zlib can make of them.
  require(delivered <= 1032ull * size + 64, "inflation bounded by zlib's ratio");
  return 0;
}
