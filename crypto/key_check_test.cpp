#include "crypto/key_check.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>

#include "authoring/signature_signing.h"
#include "crypto/hex_text.h"

namespace {

struct KeyCase {
  const char* what;
  const char* hex;
  bool valid;
};

void expect_cases(bool (*check)(const unsigned char*, std::string&),
                  const std::vector<KeyCase>& cases) {
  for (const KeyCase& key : cases) {
    SCOPED_TRACE(key.what);
    std::vector<unsigned char> bytes;
    ASSERT_TRUE(parse_hex(key.hex, bytes) && bytes.size() == 32);
    std::string problem;
    EXPECT_EQ(check(bytes.data(), problem), key.valid) << problem;
    EXPECT_EQ(problem.empty(), key.valid);
  }
}

}  // namespace

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
