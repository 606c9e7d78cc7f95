#include "authoring/archive_writer.h"

#include <zlib.h>

#include <fstream>
#include <limits>

#include "crypto/little_endian.h"

namespace {

constexpr size_t CHUNK = 65536;
// Named rather than zlib's default, so that a rebuild with the same zlib gives the same
// bytes; the best, since packages end up on the flash.
constexpr int COMPRESSION_LEVEL = 9;

// One zlib stream fed in pieces; every compressed byte goes to the sink.
class Deflater {
 public:
  explicit Deflater(const ByteSink& sink) : sink_(sink) {
    ok_ = deflateInit(&stream_, COMPRESSION_LEVEL) == Z_OK;
    started_ = ok_;
  }
  ~Deflater() {
    if (started_) deflateEnd(&stream_);
  }
  Deflater(const Deflater&) = delete;
  Deflater& operator=(const Deflater&) = delete;

  bool add(const char* bytes, size_t count) { return run(bytes, count, Z_NO_FLUSH); }
  bool finish() { return run(nullptr, 0, Z_FINISH); }

 private:
  bool run(const char* bytes, size_t count, int flush) {
    while (ok_) {
      // zlib counts input in uInt; feed at most CHUNK at a time.
      const size_t piece = count < CHUNK ? count : CHUNK;
      stream_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes));
      stream_.avail_in = uInt(piece);
      const int piece_flush = piece == count ? flush : Z_NO_FLUSH;
      int result;
      do {
        stream_.next_out = out_;
        stream_.avail_out = sizeof out_;
        result = deflate(&stream_, piece_flush);
        if (result == Z_STREAM_ERROR) return ok_ = false;
        const size_t produced = sizeof out_ - stream_.avail_out;
        if (produced > 0 && !sink_(reinterpret_cast<const char*>(out_), produced)) {
          return ok_ = false;
        }
      } while (result != Z_STREAM_END && (stream_.avail_out == 0 || piece_flush == Z_FINISH));
      bytes += piece;
      count -= piece;
      if (count == 0) return true;
    }
    return false;
  }

  const ByteSink& sink_;
  z_stream stream_{};
  unsigned char out_[CHUNK];
  bool ok_ = false;
  bool started_ = false;
};

bool add_file_data(Deflater& deflater, const ArchiveEntry& entry, std::string& error) {
  std::ifstream file(entry.data_path, std::ios::binary);
  if (!file) {
    error = "cannot read " + entry.data_path;
    return false;
  }
  file.seekg(0, std::ios::end);
  const std::streamoff size = file.tellg();
  file.seekg(0, std::ios::beg);
  if (size < 0 || !file) {
    error = "cannot read " + entry.data_path;
    return false;
  }
  if (uint64_t(size) > std::numeric_limits<uint32_t>::max()) {
    error = "too large for an archive entry: " + entry.data_path;
    return false;
  }
  const std::string header = encode_entry_header(entry, uint32_t(size));
  if (!deflater.add(header.data(), header.size())) return false;
  std::string chunk(CHUNK, '\0');
  uint64_t left = uint64_t(size);
  while (left > 0) {
    const size_t want = left < CHUNK ? size_t(left) : CHUNK;
    file.read(&chunk[0], std::streamsize(want));
    if (size_t(file.gcount()) != want) {
      error = "changed while being read: " + entry.data_path;
      return false;
    }
    if (!deflater.add(chunk.data(), want)) return false;
    left -= want;
  }
  return true;
}

}  // namespace

std::string encode_entry_header(const ArchiveEntry& entry, uint32_t data_length) {
  const size_t name_length = entry.name.size() < 65535 ? entry.name.size() : 65535;
  unsigned char header[ARCHIVE_ENTRY_HEADER_SIZE] = {};
  store_u16(header, entry.mode);
  header[23] = entry.processor;
  store_u32(header + 24, data_length);
  store_u16(header + 28, uint16_t(name_length));
  std::string bytes(reinterpret_cast<const char*>(header), sizeof header);
  bytes.append(entry.name, 0, name_length);
  return bytes;
}

bool compress_archive(const std::vector<ArchiveEntry>& entries, const ByteSink& sink,
                      std::string& error) {
  Deflater deflater(sink);
  for (const ArchiveEntry& entry : entries) {
    if (entry.name.size() > 65535) {
      error = "name too long for an archive entry: " + entry.name.substr(0, 64);
      return false;
    }
    if (!entry.data_path.empty()) {
      if (!add_file_data(deflater, entry, error)) {
        if (error.empty()) error = "compression or output failed";
        return false;
      }
      continue;
    }
    if (entry.data.size() > std::numeric_limits<uint32_t>::max()) {
      error = "too large for an archive entry: " + entry.name;
      return false;
    }
    const std::string header = encode_entry_header(entry, uint32_t(entry.data.size()));
    if (!deflater.add(header.data(), header.size()) ||
        !deflater.add(entry.data.data(), entry.data.size())) {
      error = "compression or output failed";
      return false;
    }
  }
  if (!deflater.finish()) {
    error = "compression or output failed";
    return false;
  }
  return true;
}

std::string zlib_compress(const std::string& bytes) {
  std::string out;
  const ByteSink sink = [&out](const char* data, size_t count) {
    out.append(data, count);
    return true;
  };
  Deflater deflater(sink);
  if (!deflater.add(bytes.data(), bytes.size()) || !deflater.finish()) return {};
  return out;
}
