#include "crypto/eddsa.h"

#include <gtest/gtest.h>

#include <vector>

#include "tools/hex_text.h"

namespace {

std::vector<unsigned char> bytes_of(const char* hex) {
  std::vector<unsigned char> bytes;
  EXPECT_TRUE(parse_hex(hex, bytes));
  return bytes;
}

asn1::blob range(const std::vector<unsigned char>& bytes) {
  return asn1::blob(bytes.data(), bytes.size());
}

struct Rfc8032Vector {
  const char* seed;
  const char* public_key;
  const char* message;
  const char* signature;
};

// RFC 8032 section 7.1, TEST 1 to 3.
const Rfc8032Vector VECTORS[] = {
    {"9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60",
     "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a", "",
     "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e39701cf9"
     "b46bd25bf5f0595bbe24655141438e7a100b"},
    {"4ccd089b28ff96da9db6c346ec114e0f5b8a319f35aba624da8cf6ed4fb8a6fb",
     "3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c", "72",
     "92a009a9f0d4cab8720e820b5f642540a2b27b5416503f8fb3762223ebdb69da085ac1e43e15996e458f3613d0f1"
     "1d8c387b2eaeb4302aeeb00d291612bb0c00"},
    {"c5aa8df43f9f837bedb7442f31dcb7b166d38535076f094b85ce3a2e0b4458f7",
     "fc51cd8e6218a1a38da47ed00230f0580816ed13ba3303ac5deb911548908025", "af82",
     "6291d657deec24024827e69c3abe01a30ce548a284743a445e3680d7db5ac3ac18ff9b538d16f290ae67f760984d"
     "c6594a7c15e9716ed28dc027beceea1ec40a"},
};

TEST(Eddsa, VerifiesRfc8032VectorsAndRejectsChanges) {
  for (const Rfc8032Vector& vector : VECTORS) {
    const auto key = bytes_of(vector.public_key);
    auto message = bytes_of(vector.message);
    auto signature = bytes_of(vector.signature);
    EXPECT_TRUE(eddsa::verify(range(key), range(message), range(signature)));

    signature[40] ^= 0x04;
    EXPECT_FALSE(eddsa::verify(range(key), range(message), range(signature)));
    signature[40] ^= 0x04;
    message.push_back(0);
    EXPECT_FALSE(eddsa::verify(range(key), range(message), range(signature)));
    message.pop_back();
    // Wrong sizes are refused, not read past.
    EXPECT_FALSE(eddsa::verify(asn1::blob(key.data(), 31), range(message), range(signature)));
    EXPECT_FALSE(eddsa::verify(range(key), range(message), asn1::blob(signature.data(), 63)));
  }
}

TEST(Eddsa, SignsAsRfc8032) {
  for (const Rfc8032Vector& vector : VECTORS) {
    const auto seed = bytes_of(vector.seed);
    const auto message = bytes_of(vector.message);
    unsigned char public_key[eddsa::KEY_SIZE];
    unsigned char signature[eddsa::SIGNATURE_SIZE];
    ASSERT_TRUE(eddsa::public_key(range(seed), public_key));
    EXPECT_EQ(to_hex(public_key, sizeof public_key), vector.public_key);
    ASSERT_TRUE(eddsa::sign(range(seed), range(message), signature));
    EXPECT_EQ(to_hex(signature, sizeof signature), vector.signature);
  }
}

}  // namespace
