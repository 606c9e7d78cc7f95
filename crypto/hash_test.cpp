#include "crypto/hash.h"

#include <gtest/gtest.h>

#include <string>

#include "crypto/hex_text.h"

namespace {

std::string finish(Hash& hash) {
  unsigned char out[32];
  hash.final(out);
  return to_hex(out, hash.digest_size());
}

}  // namespace

// FIPS 180-4 example vectors, fed in uneven pieces; final restarts the object.
TEST(HashTest, PublishedVectorsAndRestart) {
  const std::string message = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
  SHA1 sha1;
  SHA256 sha256;
  const struct {
    Hash& hash;
    const char* abc;
    const char* empty;
    const char* long_message;
  } cases[] = {
      {sha1, "a9993e364706816aba3e25717850c26c9cd0d89d", "da39a3ee5e6b4b0d3255bfef95601890afd80709",
       "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
      {sha256, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad",
       "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
  };
  for (const auto& test : cases) {
    test.hash.update("abc", 3);
    EXPECT_EQ(finish(test.hash), test.abc);
    EXPECT_EQ(finish(test.hash), test.empty);
    test.hash.update(message.data(), 7);
    test.hash.update(message.data() + 7, message.size() - 7);
    EXPECT_EQ(finish(test.hash), test.long_message);
  }
}
