#include "crypto/hash.h"

#include <gtest/gtest.h>

#include <numeric>
#include <string>
#include <vector>

#include "crypto/hex_text.h"
#include "crypto/signature_hash.h"

namespace {

std::string finish(Hash& hash) {
  unsigned char out[32];
  hash.final(out);
  return to_hex(out, hash.digest_size());
}

// The constants of SHA-256 as published in FIPS 180-4, sections 4.2.2 and 5.3.3.
const HashConstants SHA256_CONSTANTS = {
    {0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4,
     0xab1c5ed5, 0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe,
     0x9bdc06a7, 0xc19bf174, 0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f,
     0x4a7484aa, 0x5cb0a9dc, 0x76f988da, 0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7,
     0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967, 0x27b70a85, 0x2e1b2138, 0x4d2c6dfc,
     0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85, 0xa2bfe8a1, 0xa81a664b,
     0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070, 0x19a4c116,
     0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
     0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7,
     0xc67178f2},
    {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab,
     0x5be0cd19}};

std::string ours(const std::vector<unsigned char>& input, const HashConstants& constants) {
  unsigned char out[SIGNATURE_HASH_SIZE];
  signature_hash(input.data(), input.size(), out, constants);
  return to_hex(out, sizeof out);
}

TEST(SignatureHash, WithPublishedConstantsIsSha256AndEveryConstantCounts) {
  // 20 and 32 are the lengths the check hashes; the others cross the padding boundaries.
  for (size_t size : {20, 32, 0, 55, 56, 63, 64, 65, 119, 200}) {
    std::vector<unsigned char> input(size);
    std::iota(input.begin(), input.end(), static_cast<unsigned char>(size));
    SHA256 sha256;  // held to the published vectors below
    sha256.update(input.data(), input.size());
    EXPECT_EQ(ours(input, SHA256_CONSTANTS), finish(sha256)) << size << " bytes";
  }
  // Every constant given counts: none is built in.
  const std::vector<unsigned char> input(32, 0x5A);
  const std::string plain = ours(input, SHA256_CONSTANTS);
  for (int word = 0; word < 72; ++word) {
    HashConstants changed = SHA256_CONSTANTS;
    uint32_t& target = word < 64 ? changed.k[word] : changed.initial[word - 64];
    target ^= 0x100;
    EXPECT_NE(ours(input, changed), plain) << "word " << word;
  }
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
