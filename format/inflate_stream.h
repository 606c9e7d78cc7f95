// An istream that decompresses a zlib stream (RFC 1950) read from another stream: the file
// archive of a package, read forward once, with contents skipped by relative seeks.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <istream>
#include <streambuf>

constexpr size_t INFLATE_AREA_SIZE = 4096;

// Decompresses on demand from `source` (borrowed, must outlive it), which should stand at
// the first compressed byte; it may read up to 4096 bytes ahead of what it has delivered.
// The data ends where the zlib stream ends, where the source ends, or at the first error
// zlib reports; a reader sees that as a short read.
class InflateStreamBuf : public std::streambuf {
 public:
  explicit InflateStreamBuf(std::streambuf* source);
  ~InflateStreamBuf() override;
  InflateStreamBuf(const InflateStreamBuf&) = delete;
  InflateStreamBuf& operator=(const InflateStreamBuf&) = delete;

  // Decompressed bytes produced so far.
  uint64_t produced() const { return produced_; }

 protected:
  // Only forward moves: relative ones of n >= 0 skip n bytes by reading them, and fail
  // when the data ends first; moves from the beginning are turned into such a skip.
  pos_type seekoff(off_type offset, std::ios_base::seekdir direction,
                   std::ios_base::openmode which) override;
  pos_type seekpos(pos_type position, std::ios_base::openmode which) override;
  int_type underflow() override;

 private:
  bool inflate_more();
  bool skip(uint64_t count);
  uint64_t position() const { return produced_ - uint64_t(egptr() - gptr()); }

  // The putback slot sits right before the output area, so that the last byte of one area
  // can still be put back once the next has been filled.
  char slot_and_output_[1 + INFLATE_AREA_SIZE];
  unsigned char input_[INFLATE_AREA_SIZE];
  z_stream zlib_{};
  std::streambuf* source_;
  uint64_t produced_ = 0;
  bool started_ = false;
  bool ended_ = false;  // the zlib stream ended, failed, or the source ran dry
};

class InflateStream : public std::istream {
 public:
  // Reads from `source`'s stream buffer, which is borrowed.
  explicit InflateStream(std::istream& source);
  ~InflateStream() override;

 private:
  InflateStreamBuf buf_;
};
