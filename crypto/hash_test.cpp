#include "crypto/hash.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string hex(const unsigned char* bytes, size_t count) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  for (size_t i = 0; i < count; ++i) {
    text += digits[bytes[i] >> 4];
    text += digits[bytes[i] & 15];
  }
  return text;
}

std::string finish(Hash& hash) {
  unsigned char out[32];
  hash.final(out);
  return hex(out, hash.digest_size());
}

}  // namespace

// FIPS 180-4 example vectors, fed in uneven pieces; final restarts the object.
TEST(HashTest, PublishedVectorsAndRestart) {
  const std::string message = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
  const std::string sha1_abc = "a9993e364706816aba3e25717850c26c9cd0d89d";
  const std::string sha1_long = "84983e441c3bd26ebaae4aa1f95129e5e54670f1";
  const std::string sha1_empty = "da39a3ee5e6b4b0d3255bfef95601890afd80709";
  const std::string sha256_abc = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
  const std::string sha256_long =
      "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1";

  SHA1 sha1;
  EXPECT_EQ(sha1.digest_size(), 20u);
  EXPECT_EQ(sha1.block_size(), 64u);
  sha1.update("ab", 2);
  sha1.update("c", 1);
  EXPECT_EQ(finish(sha1), sha1_abc);
  EXPECT_EQ(finish(sha1), sha1_empty);
  sha1.update(message.data(), 7);
  sha1.update(message.data() + 7, message.size() - 7);
  EXPECT_EQ(finish(sha1), sha1_long);

  SHA256 sha256;
  EXPECT_EQ(sha256.digest_size(), 32u);
  EXPECT_EQ(sha256.block_size(), 64u);
  sha256.update("abc", 3);
  EXPECT_EQ(finish(sha256), sha256_abc);
  sha256.update(message.data(), message.size());
  EXPECT_EQ(finish(sha256), sha256_long);
  sha256.update("abc", 3);
  EXPECT_EQ(finish(sha256), sha256_abc);
}
