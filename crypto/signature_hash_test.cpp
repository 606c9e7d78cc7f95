#include "crypto/signature_hash.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <numeric>
#include <string>
#include <vector>

#include "crypto/hex_text.h"

namespace {

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

std::string openssl_sha256(const std::vector<unsigned char>& input) {
  unsigned char out[32];
  unsigned size = 0;
  EXPECT_EQ(EVP_Digest(input.data(), input.size(), out, &size, EVP_sha256(), nullptr), 1);
  return to_hex(out, size);
}

TEST(SignatureHash, WithPublishedConstantsIsSha256) {
  // 20 and 32 are the lengths the check hashes; the others cross the padding boundaries.
  for (size_t size : {20, 32, 0, 55, 56, 63, 64, 65, 119, 200}) {
    std::vector<unsigned char> input(size);
    std::iota(input.begin(), input.end(), static_cast<unsigned char>(size));
    EXPECT_EQ(ours(input, SHA256_CONSTANTS), openssl_sha256(input)) << size << " bytes";
  }
}

TEST(SignatureHash, EveryConstantCounts) {
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
