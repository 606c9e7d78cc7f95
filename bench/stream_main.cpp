// Throughput of the package reading path against its libraries alone, in one run:
//   hashing: OpenSSL SHA-256 over a buffer, against the same bytes read through a verifying
//     PartStream in 4 KiB reads (what the inflating stream asks for), 64 KiB reads, and byte
//     by byte;
//   inflating: zlib inflating the archive and SHA-256 over its compressed bytes, against
//     InflateStream over a verifying PartStream read in 16 KiB pieces, as installing does.
// Each figure is the best of several passes, alternated. A digest or a decompressed size
// that differs from the reference fails the run. Prints "key=value" lines.
// Usage: bench_stream [MiB]   (default 64)
#include <openssl/evp.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <istream>
#include <streambuf>
#include <string>

#include "format/inflate_stream.h"
#include "crypto/little_endian.h"
#include "format/part_stream.h"
#include "format/part_types.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int PASSES = 7;

// Hands out a buffer without copying it first; rewinds for every pass.
class MemorySource : public std::streambuf {
 public:
  explicit MemorySource(const std::string& bytes) : bytes_(bytes) { rewind(); }
  void rewind() {
    char* begin = const_cast<char*>(bytes_.data());
    setg(begin, begin, begin + bytes_.size());
  }

 private:
  const std::string& bytes_;
};

std::string part_header(uint16_t type, uint32_t length) {
  unsigned char header[PART_HEADER_SIZE];
  store_u16(header, type);
  store_u32(header + 2, length);
  return std::string(reinterpret_cast<char*>(header), sizeof header);
}

// A container with a digest selector and one archive part holding `payload`.
std::string container(const std::string& payload) {
  std::string parts = part_header(PART_DIGEST_SELECTOR, 0) +
                      part_header(PART_ARCHIVE, uint32_t(payload.size())) + payload;
  unsigned char header[CONTAINER_HEADER_SIZE];
  store_u32(header, PACKAGE_MAGIC);
  store_u32(header + 4, uint32_t(parts.size()));
  return std::string(reinterpret_cast<char*>(header), sizeof header) + parts;
}

std::string sha256(const void* bytes, size_t size) {
  unsigned char digest[32];
  unsigned int length = 0;
  EVP_Digest(bytes, size, digest, &length, EVP_sha256(), nullptr);
  return std::string(reinterpret_cast<char*>(digest), length);
}

std::string random_bytes(size_t size) {
  std::string bytes(size, '\0');
  uint64_t state = 0x1234567887654321ull;
  for (size_t i = 0; i < size; ++i) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    bytes[i] = char(state >> 24);
  }
  return bytes;
}

// Half random, half text that deflate shrinks well.
std::string archive_like(size_t size) {
  std::string bytes = random_bytes(size / 2);
  static const char LINE[] = "12:00:07 dhcp lease renewed 10.0.3.17 ether1 via bridge\n";
  while (bytes.size() < size) bytes.append(LINE, sizeof LINE - 1);
  bytes.resize(size);
  return bytes;
}

std::string zlib_compressed(const std::string& bytes) {
  uLongf size = compressBound(uLong(bytes.size()));
  std::string out(size, '\0');
  if (compress2(reinterpret_cast<Bytef*>(&out[0]), &size,
                reinterpret_cast<const Bytef*>(bytes.data()), uLong(bytes.size()),
                Z_DEFAULT_COMPRESSION) != Z_OK) {
    return {};
  }
  out.resize(size);
  return out;
}

// Best seconds of `passes` runs of each job, alternating the jobs between passes.
void best_of(std::initializer_list<std::pair<double*, std::function<bool()>>> jobs, int passes,
             bool& all_right) {
  for (int pass = 0; pass < passes; ++pass) {
    for (const auto& [best, job] : jobs) {
      const Clock::time_point start = Clock::now();
      all_right &= job();
      const double took = std::chrono::duration<double>(Clock::now() - start).count();
      if (pass == 0 || took < *best) *best = took;
    }
  }
}

// Reads the archive part of `bytes` through a verifying PartStream in pieces of `piece`
// bytes (0: byte by byte); true when every byte came and the digest is `expected`.
bool through_part_stream(MemorySource& source, size_t piece, size_t payload_size,
                         const std::string& expected) {
  source.rewind();
  std::istream in(&source);
  PartStream stream(in, true);
  stream.accepted_types = {PART_ARCHIVE};
  if (stream.next_part() != PART_ARCHIVE) return false;
  static char buffer[65536];
  size_t total = 0;
  if (piece == 0) {
    std::streambuf* buf = stream.rdbuf();
    while (buf->sbumpc() != std::char_traits<char>::eof()) ++total;
  } else {
    while (stream.read(buffer, std::streamsize(piece)) || stream.gcount() > 0) {
      total += size_t(stream.gcount());
    }
  }
  stream.clear();  // the end of the payload failed the stream; the digest needs the next part
  stream.next_part();
  const std::string digest(reinterpret_cast<const char*>(stream.part_buf().digest()), 32);
  return total == payload_size && digest == expected;
}

// zlib alone: inflates `compressed` with 64 KiB buffers and hashes the compressed bytes.
bool raw_inflate(const std::string& compressed, size_t expected_size) {
  static unsigned char output[65536];
  z_stream zlib{};
  if (inflateInit(&zlib) != Z_OK) return false;
  EVP_MD_CTX* hash = EVP_MD_CTX_new();
  EVP_DigestInit_ex(hash, EVP_sha256(), nullptr);
  size_t produced = 0;
  int result = Z_OK;
  for (size_t offset = 0; result == Z_OK && offset < compressed.size();) {
    const size_t take = std::min<size_t>(65536, compressed.size() - offset);
    EVP_DigestUpdate(hash, compressed.data() + offset, take);
    zlib.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(compressed.data() + offset));
    zlib.avail_in = uInt(take);
    offset += take;
    do {
      zlib.next_out = output;
      zlib.avail_out = sizeof output;
      result = inflate(&zlib, Z_NO_FLUSH);
      produced += sizeof output - zlib.avail_out;
    } while (result == Z_OK && (zlib.avail_in > 0 || zlib.avail_out == 0));
  }
  unsigned char digest[32];
  EVP_DigestFinal_ex(hash, digest, nullptr);
  EVP_MD_CTX_free(hash);
  inflateEnd(&zlib);
  return result == Z_STREAM_END && produced == expected_size;
}

// As installing reads an archive: InflateStream over a verifying PartStream, 16 KiB reads.
bool inflate_through_streams(MemorySource& source, size_t expected_size,
                             const std::string& expected_digest) {
  source.rewind();
  std::istream in(&source);
  PartStream stream(in, true);
  stream.accepted_types = {PART_ARCHIVE};
  if (stream.next_part() != PART_ARCHIVE) return false;
  size_t produced = 0;
  {
    InflateStream archive(stream);
    static char chunk[16384];
    while (archive.read(chunk, sizeof chunk) || archive.gcount() > 0) {
      produced += size_t(archive.gcount());
    }
  }
  stream.next_part();
  const std::string digest(reinterpret_cast<const char*>(stream.part_buf().digest()), 32);
  return produced == expected_size && digest == expected_digest;
}

double mib_per_second(size_t bytes, double seconds) { return double(bytes) / (1 << 20) / seconds; }

}  // namespace

int main(int argc, char** argv) {
  const long mib = argc > 1 ? std::atol(argv[1]) : 64;
  if (mib <= 0 || mib > 1024) {
    std::fprintf(stderr, "usage: bench_stream [MiB]\n");
    return 2;
  }
  const size_t size = size_t(mib) << 20;
  bool all_right = true;

  const std::string payload = random_bytes(size);
  const std::string file = container(payload);
  const std::string hashed_tail = file.substr(CONTAINER_HEADER_SIZE);
  const std::string expected = sha256(hashed_tail.data(), hashed_tail.size());
  MemorySource source(file);
  double openssl = 0, piece4k = 0, piece64k = 0;
  best_of({{&openssl, [&] { return sha256(payload.data(), payload.size()).size() == 32; }},
           {&piece4k, [&] { return through_part_stream(source, 4096, size, expected); }},
           {&piece64k, [&] { return through_part_stream(source, 65536, size, expected); }}},
          PASSES, all_right);
  // Byte by byte on a sixteenth: it is slow, and the rate is what matters.
  const std::string small_payload = payload.substr(0, size / 16);
  const std::string small_file = container(small_payload);
  const std::string small_tail = small_file.substr(CONTAINER_HEADER_SIZE);
  const std::string small_expected = sha256(small_tail.data(), small_tail.size());
  MemorySource small_source(small_file);
  double bytewise = 0;
  best_of({{&bytewise,
            [&] { return through_part_stream(small_source, 0, size / 16, small_expected); }}},
          3, all_right);

  const std::string archive = archive_like(size);
  const std::string compressed = zlib_compressed(archive);
  const std::string archive_file = container(compressed);
  const std::string archive_tail = archive_file.substr(CONTAINER_HEADER_SIZE);
  const std::string archive_expected = sha256(archive_tail.data(), archive_tail.size());
  MemorySource archive_source(archive_file);
  double zlib_alone = 0, streams = 0;
  best_of(
      {{&zlib_alone, [&] { return raw_inflate(compressed, size); }},
       {&streams, [&] { return inflate_through_streams(archive_source, size, archive_expected); }}},
      PASSES, all_right);

  if (!all_right || compressed.empty()) {
    std::fprintf(stderr, "a digest or a size differed from the reference\n");
    return 1;
  }
  std::printf("hash_mib=%ld\n", mib);
  std::printf("sha256_openssl_mibps=%.1f\n", mib_per_second(size, openssl));
  std::printf("part_stream_4k_mibps=%.1f\n", mib_per_second(size, piece4k));
  std::printf("part_stream_64k_mibps=%.1f\n", mib_per_second(size, piece64k));
  std::printf("part_stream_bytewise_mibps=%.1f\n", mib_per_second(size / 16, bytewise));
  std::printf("part_stream_4k_ratio=%.3f\n", openssl / piece4k);
  std::printf("inflate_compressed_mib=%.1f\n", double(compressed.size()) / (1 << 20));
  std::printf("zlib_inflate_sha256_mibps=%.1f\n", mib_per_second(size, zlib_alone));
  std::printf("inflate_stream_mibps=%.1f\n", mib_per_second(size, streams));
  std::printf("inflate_stream_ratio=%.3f\n", zlib_alone / streams);
  return 0;
}
