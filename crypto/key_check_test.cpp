#include "crypto/key_check.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>

#include "crypto/hex_text.h"
#include "authoring/signature_signing.h"

namespace {

struct KeyCase {
  const char* hex;
  bool valid;
};

void expect_cases(bool (*check)(const unsigned char*, std::string&),
                  const std::vector<KeyCase>& cases) {
  for (const KeyCase& key : cases) {
    std::vector<unsigned char> bytes;
    ASSERT_TRUE(parse_hex(key.hex, bytes) && bytes.size() == 32) << key.hex;
    std::string problem;
    EXPECT_EQ(check(bytes.data(), problem), key.valid) << key.hex << ": " << problem;
    EXPECT_EQ(problem.empty(), key.valid) << key.hex;
  }
}

}  // namespace

TEST(KeyCheck, LevelOneKeysMustLieInThePrimeOrderGroup) {
  expect_cases(is_valid_curve_public_key,
               {
                   // a multiple of G
                   {"71d72a95b1c18d7abaf9cdb1e984af4976ad728b916bdc0b2f83cabf6e9dab13", true},
                   // 0 and p, the point of order 2; 9, G itself
                   {"0000000000000000000000000000000000000000000000000000000000000000", false},
                   {"edffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f", false},
                   {"0900000000000000000000000000000000000000000000000000000000000000", false},
                   // 1/9: A + G or A - G is the point of order 2
                   {"12c7711cc7711cc7711cc7711cc7711cc7711cc7711cc7711cc7711cc7711c47", false},
                   // u = 2 lies on the twist; u = 1 has order 4, this one order 8
                   {"0200000000000000000000000000000000000000000000000000000000000000", false},
                   {"0100000000000000000000000000000000000000000000000000000000000000", false},
                   {"e0eb7a7c3b41b8ae1656e3faf19fc46ada098deb9c32b1fd866205165f49b800", false},
                   // a multiple of G plus a point of order 8
                   {"6694ac2e84d214c65c8b80bd33f8ab8690ee2f0d9ea60aab43260eb22091ab1f", false},
               });
}

TEST(KeyCheck, EddsaKeysMustBeCanonicalPointsOfPrimeOrder) {
  expect_cases(is_valid_eddsa_public_key,
               {
                   {"ef4f62f8479733ad879cfaced3c89a9c39dd4fc795ef2efa1c3eafe4d729a081", true},
                   // the neutral point, the point of order 2, a point of order 8
                   {"0100000000000000000000000000000000000000000000000000000000000000", false},
                   {"ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f", false},
                   {"c7176a703d4dd84fba3c0b760d10670f2a2053fa2c39ccc64ec7fd7792ac037a", false},
                   // y = p + 1, the neutral point encoded the long way
                   {"eeffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f", false},
                   // y = 2 has no x
                   {"0200000000000000000000000000000000000000000000000000000000000000", false},
                   // a valid point plus one of order 8
                   {"40a4cf5c611d737a2f1c6fcca84d9cabfed80987f186a5a6c57e629bff1af27f", false},
               });
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
