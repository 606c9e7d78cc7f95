#include "format/part_stream.h"

#include <algorithm>
#include <cstring>

#include "crypto/little_endian.h"
#include "package/console.h"

namespace {

constexpr size_t SKIP_PIECE = 16384;
using traits = std::char_traits<char>;

}  // namespace

size_t GuardedSource::read(char* out, size_t count) {
  size_t total = 0;
  count = size_t(std::min<uint64_t>(count, left_));
  try {
    // A source may hand over less than asked before its end; only 0 means it has ended.
    while (source_ != nullptr && total < count) {
      const std::streamsize got = source_->sgetn(out + total, std::streamsize(count - total));
      if (got <= 0) break;
      total += size_t(got);
    }
  } catch (...) {
    fail();
  }
  took(total);
  return total;
}

int_fast32_t GuardedSource::peek() {
  try {
    if (source_ != nullptr && left_ > 0) {
      const auto c = source_->sgetc();
      if (!traits::eq_int_type(c, traits::eof())) return traits::to_char_type(c) & 0xFF;
    }
  } catch (...) {
    fail();
  }
  return -1;
}

int_fast32_t GuardedSource::take() {
  try {
    if (source_ != nullptr && left_ > 0) {
      const auto c = source_->sbumpc();
      if (!traits::eq_int_type(c, traits::eof())) {
        took(1);
        return traits::to_char_type(c) & 0xFF;
      }
    }
  } catch (...) {
    fail();
  }
  return -1;
}

int_fast32_t GuardedSource::put_back(int_fast32_t c) {
  try {
    if (source_ != nullptr) {
      const auto back = c < 0 ? source_->sungetc() : source_->sputbackc(char(c));
      if (!traits::eq_int_type(back, traits::eof())) {
        gave_back(1);
        return traits::to_char_type(back) & 0xFF;
      }
    }
  } catch (...) {
    fail();
  }
  return -1;
}

std::streamsize GuardedSource::available() {
  try {
    if (source_ != nullptr) {
      const std::streamsize available = source_->in_avail();
      return available < 0 ? available
                           : std::streamsize(std::min<uint64_t>(uint64_t(available), left_));
    }
  } catch (...) {
    fail();
  }
  return 0;
}

bool GuardedSource::seek_by(int64_t offset) {
  try {
    if (source_ == nullptr || (offset > 0 && uint64_t(offset) > left_)) return false;
    const std::streambuf::pos_type failed(std::streambuf::off_type(-1));
    if (source_->pubseekoff(offset, std::ios_base::cur, std::ios_base::in) == failed) return false;
    if (offset >= 0) {
      took(uint64_t(offset));
    } else {
      gave_back(uint64_t(-offset));
    }
    return true;
  } catch (...) {
    fail();
  }
  return false;
}

PartStreamBuf::PartStreamBuf(std::streambuf* source, bool verify, std::streambuf* tee)
    : source_(source), tee_(tee), current_hash_(&sha1_), verify_(verify) {}

size_t PartStreamBuf::read_source(char* out, size_t count) { return source_.read(out, count); }

void PartStreamBuf::deliver(const char* bytes, size_t count, bool hash) {
  // Bytes that were put back were hashed and teed when they were first read.
  const size_t seen = std::min<size_t>(putback_count_, count);
  putback_count_ -= uint32_t(seen);
  bytes += seen;
  count -= seen;
  if (count == 0) return;
  if (tee_ != nullptr) tee_->sputn(bytes, std::streamsize(count));
  if (hash && verify_) current_hash_->update(bytes, count);
}

size_t PartStreamBuf::read_payload(char* out, size_t count, bool hash) {
  count = std::min<size_t>(count, remaining_);
  const size_t got = read_source(out, count);
  remaining_ -= uint32_t(got);
  deliver(out, got, hash);
  return got;
}

bool PartStreamBuf::discard(uint64_t count) {
  char piece[SKIP_PIECE];
  while (count > 0) {
    const size_t want = size_t(std::min<uint64_t>(count, sizeof piece));
    if (read_payload(piece, want, true) != want) return false;
    count -= want;
  }
  return true;
}

bool PartStreamBuf::skip_rest() {
  if (remaining_ == 0) return true;
  if (!verify_ && tee_ == nullptr && source_.seek_by(remaining_)) {
    remaining_ = 0;
    return true;
  }
  return discard(remaining_);
}

bool PartStreamBuf::read_file_header(uint32_t& magic, uint32_t& length) {
  unsigned char header[CONTAINER_HEADER_SIZE];
  char* bytes = reinterpret_cast<char*>(header);
  if (read_source(bytes, sizeof header) != sizeof header) return false;
  if (tee_ != nullptr) tee_->sputn(bytes, sizeof header);
  magic = load_u32(header);
  length = load_u32(header + 4);
  payload_offset_ = CONTAINER_HEADER_SIZE;
  return true;
}

void PartStreamBuf::start_part_header(uint16_t type, const unsigned char* header) {
  if (tee_ != nullptr) tee_->sputn(reinterpret_cast<const char*>(header), PART_HEADER_SIZE);
  if (!verify_) return;
  if (type == PART_DIGEST_SELECTOR) {
    current_hash_ = &sha256_;
  } else if (type == PART_PACKAGE_HEADER) {
    finish_digest();
  }
  current_hash_->update(header, PART_HEADER_SIZE);
}

int32_t PartStreamBuf::next_raw_part() {
  const bool skipped = skip_rest();
  payload_offset_ += part_length_ - remaining_;
  part_length_ = remaining_ = 0;
  if (!skipped) return -1;

  unsigned char header[PART_HEADER_SIZE];
  if (read_source(reinterpret_cast<char*>(header), sizeof header) != sizeof header) {
    finish_digest();
    return -1;
  }
  const uint16_t type = load_u16(header);
  start_part_header(type, header);
  payload_offset_ += PART_HEADER_SIZE;
  part_length_ = remaining_ = load_u32(header + 2);
  return type;
}

void PartStreamBuf::finish_digest() {
  if (!verify_) return;
  unsigned char finished[DIGEST_BUFFER_SIZE] = {};
  current_hash_->final(finished);
  std::memcpy(digest_, finished, sizeof digest_);
}

std::streamsize PartStreamBuf::read_unhashed(char* out, std::streamsize n) {
  if (n <= 0) return 0;
  return std::streamsize(read_payload(out, size_t(n), false));
}

std::streamsize PartStreamBuf::xsgetn(char* out, std::streamsize n) {
  if (n <= 0) return 0;
  return std::streamsize(read_payload(out, size_t(n), true));
}

PartStreamBuf::int_type PartStreamBuf::underflow() {
  if (remaining_ == 0) return traits::eof();
  const int_fast32_t c = source_.peek();
  return c < 0 ? traits::eof() : traits::to_int_type(char(c));
}

PartStreamBuf::int_type PartStreamBuf::uflow() {
  if (remaining_ == 0) return traits::eof();
  const int_fast32_t c = source_.take();
  if (c < 0) return traits::eof();
  --remaining_;
  const char byte = char(c);
  deliver(&byte, 1, true);
  return traits::to_int_type(byte);
}

PartStreamBuf::int_type PartStreamBuf::pbackfail(int_type c) {
  if (remaining_ == part_length_) return traits::eof();
  const bool last_read = traits::eq_int_type(c, traits::eof());
  const int_fast32_t back = source_.put_back(last_read ? -1 : traits::to_char_type(c) & 0xFF);
  if (back < 0) return traits::eof();
  ++remaining_;
  if (verify_ || tee_ != nullptr) ++putback_count_;
  return traits::to_int_type(char(back));
}

std::streamsize PartStreamBuf::showmanyc() {
  if (remaining_ == 0) return 0;
  const std::streamsize available = source_.available();
  // -1 from the source means it cannot tell; the payload still bounds the answer.
  if (available < 0) return remaining_;
  return std::min<std::streamsize>(available, remaining_);
}

PartStreamBuf::pos_type PartStreamBuf::seekoff(off_type offset, std::ios_base::seekdir direction,
                                               std::ios_base::openmode which) {
  const pos_type failed(off_type(-1));
  if (!(which & std::ios_base::in)) return failed;
  const int64_t current = position();
  // Beyond these bounds no target can land inside a payload; rejecting them first keeps
  // the sums below from overflowing.
  const int64_t limit = int64_t(1) << 40;
  if (offset > limit || offset < -limit) return failed;
  int64_t target = offset;
  if (direction == std::ios_base::cur) target += current;
  if (direction == std::ios_base::end) target += part_length_;
  if (target < 0 || target > int64_t(part_length_)) return failed;
  if (target == current) return pos_type(target);

  if (!verify_ && tee_ == nullptr && source_.seek_by(target - current)) {
    remaining_ = part_length_ - uint32_t(target);
    return pos_type(target);
  }
  // Hashed or teed bytes cannot be taken back, and an unseekable source only goes forward.
  if (target < current || !discard(uint64_t(target - current))) return failed;
  return pos_type(target);
}

PartStreamBuf::pos_type PartStreamBuf::seekpos(pos_type position, std::ios_base::openmode which) {
  return seekoff(off_type(position), std::ios_base::beg, which);
}

PartStream::PartStream(std::istream& source, bool verify, std::streambuf* tee)
    : std::istream(nullptr), buf_(source.rdbuf(), verify, tee) {
  rdbuf(&buf_);
  uint32_t length = 0;
  if (buf_.read_file_header(magic, length)) total_length = uint64_t(length) + CONTAINER_HEADER_SIZE;
  if (magic != PACKAGE_MAGIC && magic != UNRECORDED_MAGIC) setstate(std::ios_base::badbit);
}

PartStream::~PartStream() = default;

void PartStream::stay_within_container() {
  if (total_length >= CONTAINER_HEADER_SIZE) buf_.limit_source(total_length - CONTAINER_HEADER_SIZE);
}

int32_t PartStream::next_part() {
  if (fail()) {
    type = -1;
    return -1;
  }
  clear(rdstate() & ~std::ios_base::eofbit);
  int32_t found;
  do {
    found = buf_.next_raw_part();
  } while (found != -1 && std::find(accepted_types.begin(), accepted_types.end(),
                                    uint32_t(found)) == accepted_types.end());
  if (found == -1) setstate(std::ios_base::eofbit | std::ios_base::failbit);
  type = found;
  return found;
}

void show_progress(Console& console, const std::string& label, const PartStream& stream) {
  const PartStreamBuf& buf = stream.part_buf();
  console.show_progress(label, buf.part_offset() + buf.position(), stream.total_length);
}
