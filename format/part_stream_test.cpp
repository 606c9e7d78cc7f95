#include "format/part_stream.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <algorithm>
#include <sstream>

#include "authoring/package_writer.h"
#include "package/console.h"
#include "testing/test_packages.h"

namespace {

std::string pattern(size_t size) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = char(i * 7 + i / 251);
  return bytes;
}

// Digest as the stream keeps it: 32 bytes, a SHA-1 padded with zeros.
std::string openssl_digest(const EVP_MD* algorithm, const std::string& bytes) {
  unsigned char out[32] = {};
  unsigned int length = 0;
  EVP_Digest(bytes.data(), bytes.size(), out, &length, algorithm, nullptr);
  return std::string(reinterpret_cast<char*>(out), 32);
}

int byte_at(const std::string& bytes, size_t index) { return (unsigned char)bytes[index]; }

std::string digest_of(const PartStream& stream) {
  return std::string(reinterpret_cast<const char*>(stream.part_buf().digest()), 32);
}

// Parts 7 (foreign, 5 bytes), [25], 1 (32), 16 ("ppc"), 4 (300), 9 (132), 16 ("x"). The
// type-1 part header is at 19, or 25 with the selector, and the signature payload 359 after.
std::string sample(bool selector) {
  PackageWriter writer;
  writer.add_part(7, "fores");
  if (selector) writer.add_digest_selector();
  writer.add_part(PART_PACKAGE_HEADER, encode_header("pkg", 1, 2));
  writer.add_part(PART_ARCHITECTURE, "ppc");
  writer.add_part(PART_ARCHIVE, pattern(300));
  writer.add_signature(std::string(132, 's'));
  writer.add_part(PART_ARCHITECTURE, "x");
  return written(writer);
}

// A source that, like a pipe, hands over at most 1000 bytes a call, counting them, and may
// refuse to seek. With `fails` its end is an error, as a file on a bad disk ends: the
// standard file buffer throws.
class Source : public std::stringbuf {
 public:
  Source(const std::string& bytes, bool seekable, bool fails = false)
      : std::stringbuf(bytes), seekable_(seekable), fails_(fails) {}
  size_t taken = 0;

 protected:
  int_type underflow() override {
    const int_type c = std::stringbuf::underflow();
    if (fails_ && c == traits_type::eof()) throw std::ios_base::failure("EIO");
    return c;
  }
  std::streamsize xsgetn(char* out, std::streamsize n) override {
    const std::streamsize got = std::min<std::streamsize>({n, 1000, egptr() - gptr()});
    if (fails_ && got == 0 && n > 0) throw std::ios_base::failure("EIO");
    std::copy(gptr(), gptr() + got, out);
    gbump(int(got));
    taken += size_t(got);
    return got;
  }
  pos_type seekoff(off_type offset, std::ios_base::seekdir direction,
                   std::ios_base::openmode which) override {
    return seekable_ ? std::stringbuf::seekoff(offset, direction, which) : pos_type(off_type(-1));
  }

 private:
  bool seekable_, fails_;
};

// What a walk over the source yields: every part read whole, the copy and the digest.
struct Walk {
  int parts = 0;
  std::string payloads, copy, digest;
};

Walk walk(std::streambuf& source) {
  std::istream in(&source);
  std::stringbuf tee;
  PartStream stream(in, true, &tee);
  stream.accepted_types = {1, 4, 7, 9, 16, 25};
  Walk seen;
  for (; stream.next_part() != -1; ++seen.parts) {
    std::string payload(stream.part_length(), '\0');
    stream.read(&payload[0], std::streamsize(payload.size()));
    seen.payloads += payload.substr(0, size_t(stream.gcount()));
  }
  seen.copy = tee.str();
  seen.digest = digest_of(stream);
  return seen;
}

}  // namespace

TEST(PartStreamTest, WalksAcceptedPartsAndStopsAtTheEnd) {
  PackageWriter writer;
  writer.add_part(7, "abc");
  writer.add_part(5, "");
  writer.add_part(6, "zz");
  writer.add_part(7, "defgh");
  std::istringstream in(written(writer));
  PartStream stream(in, false);
  char bytes[8];
  EXPECT_EQ(stream.readsome(bytes, 8), 0);  // before the first part

  stream.accepted_types = {5, 7};
  EXPECT_EQ(stream.next_part(), 7);
  EXPECT_EQ(stream.part_offset(), 14u);
  EXPECT_TRUE(stream.read(bytes, 2));
  // The bar counts the bytes before the part too: 16 of the 42.
  std::ostringstream screen;
  Console console(screen);
  show_progress(console, "0123456789", stream);
  EXPECT_EQ(console.status_line,
            "0123456789 [" + std::string(24, '#') + std::string(40, ' ') + "]");
  EXPECT_EQ(stream.next_part(), 5);  // empty, and the rest of the previous part skipped
  EXPECT_EQ(stream.peek(), EOF);
  stream.clear();
  EXPECT_EQ(stream.get(), EOF);
  EXPECT_EQ(stream.next_part(), -1);  // the stream had failed
  stream.clear();
  EXPECT_EQ(stream.next_part(), 7);  // type 6 passed over
  EXPECT_EQ(stream.part_offset(), 37u);
  EXPECT_TRUE(stream.read(bytes, 5));
  EXPECT_EQ(std::string(bytes, 5), "defgh");
  EXPECT_EQ(stream.next_part(), -1);
  EXPECT_TRUE(stream.eof() && stream.fail());
  EXPECT_EQ(stream.next_part(), -1);
}

TEST(PartStreamTest, BrokenContainerHeaders) {
  // A header cut short, and a foreign magic.
  PackageWriter foreign(0x12345678);
  foreign.add_part(1, "abc");
  for (const std::string& bytes : {std::string("\x1e\xf1\xd0\xba\x01", 5), written(foreign)}) {
    std::istringstream in(bytes);
    std::stringbuf tee;
    PartStream broken(in, true, &tee);
    broken.accepted_types = {1};
    EXPECT_TRUE(broken.bad());
    EXPECT_EQ(broken.next_part(), -1);
    EXPECT_EQ(tee.str(), bytes.size() == 5 ? "" : bytes.substr(0, 8));
    EXPECT_EQ(broken.total_length, bytes.size() == 5 ? 0u : bytes.size());
  }

  // Length fields near 2^32 are summed in 64 bits.
  PackageWriter huge;
  huge.set_declared_length(0xFFFFFFF9);
  huge.add_part(4, "abc", 0xFFFFFFFF);
  std::istringstream huge_in(written(huge));
  PartStream stream(huge_in, false);
  stream.accepted_types = {4};
  EXPECT_EQ(stream.total_length, 0x100000001u);
  EXPECT_EQ(stream.next_part(), 4);
  EXPECT_EQ(stream.part_length(), 0xFFFFFFFFu);
  stream.seekg(0xFFFFFFFFu);
  EXPECT_EQ(stream.next_part(), -1);
  EXPECT_GE(stream.part_offset(), 14u);
}

// A source that fails behaves exactly as one that ends there.
TEST(PartStreamTest, TruncationOrReadErrorAtEveryOffsetEndsCleanly) {
  const std::string full = sample(true);
  for (size_t cut = 0; cut <= full.size(); ++cut) {
    SCOPED_TRACE(cut);
    std::stringbuf truncated(full.substr(0, cut));
    Source source(full.substr(0, cut), true, true);
    const Walk ended = walk(truncated), failed = walk(source);
    EXPECT_EQ(failed.parts, ended.parts);
    EXPECT_EQ(failed.payloads, ended.payloads);
    EXPECT_EQ(failed.copy, ended.copy);
    EXPECT_EQ(failed.digest, ended.digest);
    EXPECT_LE(ended.parts, 7);
    if (cut == full.size()) {
      EXPECT_EQ(ended.parts, 7);
    }
    EXPECT_EQ(ended.copy, full.substr(0, ended.copy.size()));
    // Only the bytes of a header cut short are not copied.
    EXPECT_GE(ended.copy.size() + (cut < 8 ? 7 : 5), cut);
  }
}

// The digest covers the type-1 part header through the signature part header; put back
// bytes are hashed and copied once.
TEST(PartStreamTest, DigestAndCopyTakeEveryByteOnce) {
  const std::string payload = pattern(300);
  for (bool selector : {false, true}) {
    const EVP_MD* algorithm = selector ? EVP_sha256() : EVP_sha1();
    const size_t header_at = selector ? 25 : 19, signature_at = header_at + 359;
    // Cut 3 bytes into the trailer's part header.
    const std::string full = sample(selector), bytes = full.substr(0, full.size() - 4);
    std::istringstream in(bytes);
    std::stringbuf tee;
    PartStream stream(in, true, &tee);
    stream.accepted_types = {PART_ARCHIVE, PART_SIGNATURE};
    EXPECT_EQ(stream.next_part(), PART_ARCHIVE);
    EXPECT_FALSE(stream.unget());  // nothing to hand back at the start of a payload
    stream.clear();
    EXPECT_EQ(stream.get(), byte_at(payload, 0));
    EXPECT_EQ(stream.get(), byte_at(payload, 1));
    EXPECT_TRUE(stream.unget());
    EXPECT_EQ(stream.part_buf().putback_count(), 1u);
    EXPECT_EQ(stream.get(), byte_at(payload, 1));
    char read[8];
    EXPECT_EQ(stream.readsome(read, 4), 4);
    EXPECT_TRUE(stream.unget() && stream.unget());
    EXPECT_EQ(stream.tellg(), 4);
    EXPECT_TRUE(stream.read(read, 1));  // fewer than were put back
    EXPECT_TRUE(stream.read(read, 8));
    EXPECT_EQ(std::string(read, 8), payload.substr(5, 8));
    EXPECT_EQ(stream.next_part(), PART_SIGNATURE);
    stream.part_buf().finish_digest();
    EXPECT_EQ(digest_of(stream),
              openssl_digest(algorithm, bytes.substr(header_at, signature_at - header_at)));
    // The end of the parts finishes what followed: the signature payload.
    EXPECT_EQ(stream.next_part(), -1);
    EXPECT_EQ(digest_of(stream), openssl_digest(algorithm, bytes.substr(signature_at, 132)));
    EXPECT_EQ(tee.str(), bytes.substr(0, bytes.size() - 3));
  }
}

// Seeks never leave the part. Hashed or copied bytes only go forward, however seekable the
// source, and the digest and the copy hold every byte, skipped ones included; otherwise
// skipping and seeking move the source instead of reading it.
TEST(PartStreamTest, SeeksStayInsideThePartAndMoveTheSourceWhenNoByteMustBeSeen) {
  const std::string payload = pattern(200000);
  PackageWriter writer;
  writer.add_part(PART_ARCHIVE, payload);
  writer.add_part(PART_SIGNATURE, "sig");
  const std::string bytes = written(writer);
  for (bool seekable : {true, false}) {
    for (int mode = 0; mode < 3; ++mode) {  // plain, verify, tee
      SCOPED_TRACE(testing::Message() << "seekable " << seekable << ", mode " << mode);
      Source source(bytes, seekable);
      std::istream in(&source);
      std::stringbuf tee;
      PartStream stream(in, mode == 1, mode == 2 ? &tee : nullptr);
      stream.accepted_types = {PART_ARCHIVE, PART_SIGNATURE};
      EXPECT_EQ(stream.next_part(), PART_ARCHIVE);
      EXPECT_FALSE(stream.seekg(200001));
      stream.clear();
      EXPECT_FALSE(stream.seekg(-1));
      stream.clear();
      EXPECT_TRUE(stream.seekg(150000) && stream.seekg(5, std::ios::cur));
      EXPECT_EQ(stream.get(), byte_at(payload, 150005));
      EXPECT_TRUE(stream.seekg(-2, std::ios::end));
      EXPECT_EQ(stream.get(), byte_at(payload, 199998));
      EXPECT_EQ(stream.tellg(), 199999);
      const bool read_through = mode != 0 || !seekable;
      EXPECT_EQ(bool(stream.seekg(10)), !read_through);
      stream.clear();
      EXPECT_EQ(stream.get(), byte_at(payload, read_through ? 199999 : 10));
      EXPECT_EQ(stream.next_part(), PART_SIGNATURE);  // the rest skipped
      EXPECT_EQ(source.taken > 100000, read_through);
      EXPECT_EQ(stream.next_part(), -1);
      EXPECT_EQ(tee.str(), mode == 2 ? bytes : "");
      // Only a verifying stream hashes; the others never start libcrypto.
      EXPECT_EQ(digest_of(stream),
                mode == 1 ? openssl_digest(EVP_sha1(), bytes.substr(8)) : std::string(32, '\0'));
    }
  }
}
