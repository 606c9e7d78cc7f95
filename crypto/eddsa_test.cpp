#include "crypto/eddsa.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <vector>

#include "authoring/signature_signing.h"
#include "crypto/hex_text.h"
#include "crypto/key_check.h"
#include "testing/case_file.h"

namespace {

std::vector<unsigned char> bytes_of(const std::string& hex) {
  std::vector<unsigned char> bytes;
  EXPECT_TRUE(parse_hex(hex, bytes));
  return bytes;
}

asn1::blob range(const std::vector<unsigned char>& bytes) {
  return asn1::blob(bytes.data(), bytes.size());
}

TEST(Eddsa, SignsAndVerifiesRfc8032VectorsAndRejectsChanges) {
  for (const TestCase& c :
       read_cases("crypto/testdata/eddsa_vectors.txt", {"seed", "key", "message", "signature"})) {
    SCOPED_TRACE(c.label());
    const auto seed = bytes_of(c.text("seed")), key = bytes_of(c.text("key"));
    auto message = bytes_of(c.text("message")), signature = bytes_of(c.text("signature"));
    unsigned char derived[eddsa::KEY_SIZE], made[eddsa::SIGNATURE_SIZE];
    ASSERT_TRUE(eddsa::public_key(range(seed), derived));
    EXPECT_EQ(to_hex(derived, sizeof derived), c.text("key"));
    ASSERT_TRUE(eddsa::sign(range(seed), range(message), made));
    EXPECT_EQ(to_hex(made, sizeof made), c.text("signature"));
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

TEST(KeyCheck, KeysMustBeCanonicalPointsOfThePrimeOrderGroup) {
  for (const TestCase& c :
       read_cases("crypto/testdata/public_keys.txt", {"curve?", "eddsa?", "valid"})) {
    SCOPED_TRACE(c.label());
    const bool curve = c.values.count("curve") != 0;
    const std::vector<unsigned char> bytes = bytes_of(c.text(curve ? "curve" : "eddsa"));
    ASSERT_EQ(bytes.size(), 32u);
    std::string problem;
    const auto check = curve ? is_valid_curve_public_key : is_valid_eddsa_public_key;
    EXPECT_EQ(check(bytes.data(), problem), c.yes("valid")) << problem;
    EXPECT_EQ(problem.empty(), c.yes("valid"));
  }
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
