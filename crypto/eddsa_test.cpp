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

TEST(KeyCheck, KeysMustBeCanonicalPointsOfThePrimeOrderGroup) {
  for (const TestCase& c :
       read_cases("crypto/testdata/public_keys.txt", {"curve?", "eddsa?", "valid"})) {
    SCOPED_TRACE(c.label());
    const bool curve = c.values.count("curve") != 0;
    const std::vector<unsigned char> bytes = bytes_of(c.text(curve ? "curve" : "eddsa").c_str());
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
