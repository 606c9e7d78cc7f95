// The part container that every package file and database image is: an istream that walks
// the parts forward, stops at the types its caller accepts and confines every read to the
// current payload, while copying what it takes to an optional tee and hashing it.
//
// Layout, integers little-endian:
//   0  u32  magic: PACKAGE_MAGIC, or UNRECORDED_MAGIC for an unrecorded package
//   4  u32  length of everything after these 8 bytes
//   8       parts back to back until the source ends, each: u16 type, u32 payload
//           length, payload
// The 8 header bytes are copied to the tee but never hashed. With `verify`, every later
// byte feeds the running digest: SHA-1, or SHA-256 from the first type-25 part header on;
// each type-1 part header first finishes it into digest() and restarts it.
#pragma once

#include <cstdint>
#include <istream>
#include <streambuf>
#include <string>
#include <vector>

#include "crypto/hash.h"
#include "format/part_types.h"

class Console;

constexpr size_t CONTAINER_HEADER_SIZE = 8;
constexpr size_t PART_HEADER_SIZE = 6;
constexpr size_t DIGEST_BUFFER_SIZE = 32;

// The one place where a part stream touches its source. A source may hand over fewer bytes
// than asked before its end, refuse seeks and putbacks, and fail: the standard file buffer
// throws on a read error (a directory opened as a file, an I/O error). A failure is taken as
// the end of the source, for good, so it surfaces as a short read and never as an exception.
class GuardedSource {
 public:
  explicit GuardedSource(std::streambuf* source) : source_(source) {}

  // Up to `count` bytes; fewer only when the source has ended or failed.
  size_t read(char* out, size_t count);
  int_fast32_t peek();  // the next byte without taking it, or -1
  int_fast32_t take();  // the next byte, or -1
  // Hands `c` (or, when -1, the last byte read) back; answers the byte now next, or -1 when
  // the source refused.
  int_fast32_t put_back(int_fast32_t c);
  // What the source can hand over without waiting; -1 when it cannot tell.
  std::streamsize available();
  // Moves `offset` bytes (either way) from the current position; false when it cannot.
  bool seek_by(int64_t offset);
  // From here on hands over at most `count` more bytes: what lies beyond is never read.
  void limit(uint64_t count) { left_ = count; }

 private:
  void fail() { source_ = nullptr; }
  static constexpr uint64_t UNLIMITED = UINT64_MAX;
  void took(uint64_t count) {
    if (left_ != UNLIMITED) left_ -= count;
  }
  void gave_back(uint64_t count) {
    if (left_ != UNLIMITED) left_ += count;
  }

  std::streambuf* source_;  // null once it has failed
  uint64_t left_ = UNLIMITED;
};

// Reads from `source` without a buffer of its own. Positions count from the start of the
// current payload; before the first part the payload is empty.
class PartStreamBuf : public std::streambuf {
 public:
  // `source` and `tee` (may be null) are borrowed and must outlive the buffer.
  PartStreamBuf(std::streambuf* source, bool verify, std::streambuf* tee);
  PartStreamBuf(const PartStreamBuf&) = delete;
  PartStreamBuf& operator=(const PartStreamBuf&) = delete;

  // Reads the container header into magic and the length field; false when fewer than
  // 8 bytes arrived (then nothing was copied to the tee).
  [[nodiscard]] bool read_file_header(uint32_t& magic, uint32_t& length);
  // Skips what is left of the current payload and reads the next part header, whatever its
  // type; answers the type, or -1 when the source ended (the digest is then finished).
  int32_t next_raw_part();
  // Takes at most `count` more bytes from the source.
  void limit_source(uint64_t count) { source_.limit(count); }

  uint32_t part_length() const { return part_length_; }
  // Offset of the current payload from the start of the container; 64 bits, so that lengths
  // near 2^32 never wrap.
  uint64_t part_offset() const { return payload_offset_; }
  // Bytes of the current payload consumed so far.
  uint32_t position() const { return part_length_ - remaining_; }
  uint32_t remaining() const { return remaining_; }
  // Bytes handed back to the source that were already hashed and teed.
  uint32_t putback_count() const { return putback_count_; }
  bool verify() const { return verify_; }

  // For the signature check. finish_digest finishes the running hash into digest() (32
  // bytes; a SHA-1 fills the first 20 and zeros the rest) and restarts it; without `verify`
  // nothing is hashed and digest() stays zeros.
  void finish_digest();
  const unsigned char* digest() const { return digest_; }
  // Up to min(n, remaining()) payload bytes straight from the source: copied to the tee,
  // never hashed. Answers how many arrived.
  std::streamsize read_unhashed(char* out, std::streamsize n);

 protected:
  pos_type seekoff(off_type offset, std::ios_base::seekdir direction,
                   std::ios_base::openmode which) override;
  pos_type seekpos(pos_type position, std::ios_base::openmode which) override;
  std::streamsize showmanyc() override;
  std::streamsize xsgetn(char* out, std::streamsize n) override;
  int_type underflow() override;
  int_type uflow() override;
  int_type pbackfail(int_type c) override;

 private:
  size_t read_source(char* out, size_t count);
  size_t read_payload(char* out, size_t count, bool hash);
  void deliver(const char* bytes, size_t count, bool hash);
  bool discard(uint64_t count);
  bool skip_rest();
  void start_part_header(uint16_t type, const unsigned char* header);

  GuardedSource source_;
  uint64_t payload_offset_ = 0;
  uint32_t part_length_ = 0;
  uint32_t remaining_ = 0;
  std::streambuf* tee_;
  SHA1 sha1_;
  SHA256 sha256_;
  Hash* current_hash_;
  bool verify_;
  uint32_t putback_count_ = 0;
  unsigned char digest_[DIGEST_BUFFER_SIZE] = {};
};

// Reads the container header at construction and then stands before the first part.
// A failed or ended stream is failed(); an unknown magic or a short header makes it bad().
class PartStream : public std::istream {
 public:
  // `source` (its stream buffer) and `tee` (may be null) are borrowed and must outlive the
  // stream. `verify` turns hashing on.
  PartStream(std::istream& source, bool verify, std::streambuf* tee = nullptr);
  ~PartStream() override;

  std::vector<uint32_t> accepted_types;  // next_part stops only at these
  int32_t type = -1;                     // of the current part; -1 when none
  uint32_t magic = 0xFFFFFFFF;           // all ones when the header did not arrive
  // The length field plus 8, computed in 64 bits: 0 when the header did not arrive, above
  // 0xFFFFFFFF when the field is within 8 of 2^32, which no real package can be.
  uint64_t total_length = 0;

  // Moves to the next part of an accepted type; answers its type, or -1 (the stream is then
  // at end of file and failed) when there is none or the stream had failed.
  int32_t next_part();
  uint32_t part_length() const { return buf_.part_length(); }
  uint64_t part_offset() const { return buf_.part_offset(); }
  bool is_unrecorded() const { return magic == UNRECORDED_MAGIC; }
  // Reads nothing past total_length: a source that goes on (standard input) ends there for
  // this stream, and what follows is neither hashed nor copied to the tee.
  void stay_within_container();
  // The source ended exactly where the container says it does.
  bool read_whole_container() const { return type == -1 && part_offset() == total_length; }

  // On the signature part before any of its payload is read: 0 no valid signature, 1 the
  // level-1 signature is valid, 2 the EdDSA one is. Defined with the signature check.
  int verify_signature();

  PartStreamBuf& part_buf() { return buf_; }
  const PartStreamBuf& part_buf() const { return buf_; }

 private:
  PartStreamBuf buf_;
};

// The console's progress bar for a container being read: how far `stream` is into its
// total_length.
void show_progress(Console& console, const std::string& label, const PartStream& stream);
