#include "format/inflate_stream.h"

#include <algorithm>

namespace {

constexpr size_t SKIP_PIECE = 1024;
using traits = std::char_traits<char>;

}  // namespace

InflateStreamBuf::InflateStreamBuf(std::streambuf* source) : source_(source) {
  started_ = inflateInit(&zlib_) == Z_OK;
  ended_ = !started_ || source_ == nullptr;
  char* output = slot_and_output_ + 1;
  setg(output, output, output);
}

InflateStreamBuf::~InflateStreamBuf() {
  if (started_) inflateEnd(&zlib_);
}

// One round of decompression into the output area; false when the data has ended.
bool InflateStreamBuf::inflate_more() {
  char* output = slot_and_output_ + 1;
  while (!ended_) {
    if (zlib_.avail_in == 0) {
      const std::streamsize got =
          source_->sgetn(reinterpret_cast<char*>(input_), std::streamsize(sizeof input_));
      if (got <= 0) break;
      zlib_.next_in = input_;
      zlib_.avail_in = uInt(got);
    }
    const uInt input_before = zlib_.avail_in;
    zlib_.next_out = reinterpret_cast<Bytef*>(output);
    zlib_.avail_out = uInt(INFLATE_AREA_SIZE);
    const int result = inflate(&zlib_, Z_PARTIAL_FLUSH);
    if (result != Z_OK && result != Z_STREAM_END) break;
    const size_t count = INFLATE_AREA_SIZE - zlib_.avail_out;
    if (result == Z_STREAM_END) ended_ = true;
    if (count > 0) {
      produced_ += count;
      setg(eback(), output, output + count);
      return true;
    }
    // zlib promises progress with input and room; without it, stop rather than spin.
    if (zlib_.avail_in == input_before) break;
  }
  ended_ = true;
  return false;
}

InflateStreamBuf::int_type InflateStreamBuf::underflow() {
  if (gptr() < egptr()) return traits::to_int_type(*gptr());
  char* slot = slot_and_output_;
  if (gptr() > slot_and_output_ + 1) {
    // The get area shrinks to the slot alone, so the output area may be overwritten.
    *slot = gptr()[-1];
    setg(slot, slot + 1, slot + 1);
  }
  if (!inflate_more()) return traits::eof();
  return traits::to_int_type(*gptr());
}

bool InflateStreamBuf::skip(uint64_t count) {
  char piece[SKIP_PIECE];
  while (count > 0) {
    const std::streamsize want = std::streamsize(std::min<uint64_t>(count, sizeof piece));
    if (sgetn(piece, want) != want) return false;
    count -= uint64_t(want);
  }
  return true;
}

InflateStreamBuf::pos_type InflateStreamBuf::seekoff(off_type offset,
                                                     std::ios_base::seekdir direction,
                                                     std::ios_base::openmode which) {
  const pos_type failed(off_type(-1));
  if (!(which & std::ios_base::in) || direction == std::ios_base::end) return failed;
  uint64_t distance;
  if (direction == std::ios_base::cur) {
    if (offset < 0) return failed;
    distance = uint64_t(offset);
  } else {
    if (offset < 0 || uint64_t(offset) < position()) return failed;
    distance = uint64_t(offset) - position();
  }
  if (!skip(distance)) return failed;
  return pos_type(off_type(position()));
}

InflateStreamBuf::pos_type InflateStreamBuf::seekpos(pos_type position,
                                                     std::ios_base::openmode which) {
  return seekoff(off_type(position), std::ios_base::beg, which);
}

InflateStream::InflateStream(std::istream& source) : std::istream(nullptr), buf_(source.rdbuf()) {
  rdbuf(&buf_);
}

InflateStream::~InflateStream() = default;
