#include "crypto/eddsa.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <vector>

#include "authoring/signature_signing.h"
#include "crypto/hex_text.h"
#include "crypto/key_check.h"

namespace {

std::vector<unsigned char> bytes_of(const char* hex) {
  std::vector<unsigned char> bytes;
  EXPECT_TRUE(parse_hex(hex, bytes));
  return bytes;
}

asn1::blob range(const std::vector<unsigned char>& bytes) {
  return asn1::blob(bytes.data(), bytes.size());
}

TEST(Eddsa, SignsAndVerifiesRfc8032VectorsAndRejectsChanges) {
  // RFC 8032 section 7.1, TEST 1 and 2: seed, public key, message, signature.
  const char* const vectors[][4] = {
      {"9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60",
       "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a", "",
       "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e39701c"
       "f9b46bd25bf5f0595bbe24655141438e7a100b"},
      {"4ccd089b28ff96da9db6c346ec114e0f5b8a319f35aba624da8cf6ed4fb8a6fb",
       "3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c", "72",
       "92a009a9f0d4cab8720e820b5f642540a2b27b5416503f8fb3762223ebdb69da085ac1e43e15996e458f3613d0"
       "f11d8c387b2eaeb4302aeeb00d291612bb0c00"},
  };
  for (const auto& vector : vectors) {
    const auto seed = bytes_of(vector[0]), key = bytes_of(vector[1]);
    auto message = bytes_of(vector[2]), signature = bytes_of(vector[3]);
    unsigned char derived[eddsa::KEY_SIZE], made[eddsa::SIGNATURE_SIZE];
    ASSERT_TRUE(eddsa::public_key(range(seed), derived));
    EXPECT_EQ(to_hex(derived, sizeof derived), vector[1]);
    ASSERT_TRUE(eddsa::sign(range(seed), range(message), made));
    EXPECT_EQ(to_hex(made, sizeof made), vector[3]);
    EXPECT_TRUE(eddsa::verify(range(key), range(message), range(signature)));

    // Wrong sizes are refused, not read past.
    EXPECT_FALSE(eddsa::verify(asn1::blob(key.data(), 31), range(message), range(signature)));
    EXPECT_FALSE(eddsa::verify(range(key), range(message), asn1::blob(signature.data(), 63)));
    message.push_back(0);
    EXPECT_FALSE(eddsa::verify(range(key), range(message), range(signature)));
    signature[40] ^= 0x04;
    message.pop_back();
    EXPECT_FALSE(eddsa::verify(range(key), range(message), range(signature)));
  }
}

struct KeyCase {
  const char* what;
  const char* hex;
  bool valid;
};

void expect_cases(bool (*check)(const unsigned char*, std::string&),
                  const std::vector<KeyCase>& cases) {
  for (const KeyCase& key : cases) {
    SCOPED_TRACE(key.what);
    const std::vector<unsigned char> bytes = bytes_of(key.hex);
    ASSERT_EQ(bytes.size(), 32u);
    std::string problem;
    EXPECT_EQ(check(bytes.data(), problem), key.valid) << problem;
    EXPECT_EQ(problem.empty(), key.valid);
  }
}

TEST(KeyCheck, LevelOneKeysMustLieInThePrimeOrderGroup) {
  expect_cases(
      is_valid_curve_public_key,
      {{"a multiple of G", "71d72a95b1c18d7abaf9cdb1e984af4976ad728b916bdc0b2f83cabf6e9dab13", 1},
       {"0", "0000000000000000000000000000000000000000000000000000000000000000", 0},
       {"p", "edffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f", 0},
       {"G itself", "0900000000000000000000000000000000000000000000000000000000000000", 0},
       // A + G or A - G is the point of order 2
       {"1/9", "12c7711cc7711cc7711cc7711cc7711cc7711cc7711cc7711cc7711cc7711c47", 0},
       {"on the twist", "0200000000000000000000000000000000000000000000000000000000000000", 0},
       {"order 4", "0100000000000000000000000000000000000000000000000000000000000000", 0},
       {"order 8", "e0eb7a7c3b41b8ae1656e3faf19fc46ada098deb9c32b1fd866205165f49b800", 0},
       {"G times k + order 8", "6694ac2e84d214c65c8b80bd33f8ab8690ee2f0d9ea60aab43260eb22091ab1f",
        0}});
}

TEST(KeyCheck, EddsaKeysMustBeCanonicalPointsOfPrimeOrder) {
  expect_cases(
      is_valid_eddsa_public_key,
      {{"a sound key", "ef4f62f8479733ad879cfaced3c89a9c39dd4fc795ef2efa1c3eafe4d729a081", 1},
       {"neutral", "0100000000000000000000000000000000000000000000000000000000000000", 0},
       {"order 2", "ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f", 0},
       {"order 8", "c7176a703d4dd84fba3c0b760d10670f2a2053fa2c39ccc64ec7fd7792ac037a", 0},
       {"y = p + 1", "eeffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f", 0},
       {"y = 2, no x", "0200000000000000000000000000000000000000000000000000000000000000", 0},
       {"sound + order 8", "40a4cf5c611d737a2f1c6fcca84d9cabfed80987f186a5a6c57e629bff1af27f", 0}});
}

TEST(KeyCheck, BuiltInAndGeneratedKeysPass) {
  std::string problem;
  EXPECT_TRUE(check_public_keys(built_in_signature_keys(), problem)) << problem;
  for (int i = 0; i < 3; ++i) {
    SigningKeys keys;
    ASSERT_TRUE(generate_signing_keys(keys));
    EXPECT_TRUE(check_public_keys(keys.public_keys, problem)) << problem;
  }
  SignatureKeys broken = built_in_signature_keys();
  std::fill(std::begin(broken.curve_public), std::end(broken.curve_public), 0);
  broken.curve_public[0] = 1;  // a point of order 4
  EXPECT_FALSE(check_public_keys(broken, problem));
  EXPECT_EQ(problem.rfind("curve.pub: ", 0), 0u) << problem;
}

}  // namespace
