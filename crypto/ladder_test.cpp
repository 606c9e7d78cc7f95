#include "crypto/ladder.h"

#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <array>
#include <string>
#include <vector>

#include "crypto/hex_text.h"

namespace {

using Bytes = std::array<unsigned char, 32>;

Bytes bytes_of(const char* hex) {
  std::vector<unsigned char> parsed;
  EXPECT_TRUE(parse_hex(hex, parsed) && parsed.size() == 32) << hex;
  Bytes bytes{};
  std::copy_n(parsed.begin(), std::min<size_t>(parsed.size(), 32), bytes.begin());
  return bytes;
}

std::string hex(const Bytes& bytes) { return to_hex(bytes.data(), bytes.size()); }

Bytes clamped(Bytes scalar) {
  scalar[0] &= 0xF8;
  scalar[31] = (scalar[31] & 0x7F) | 0x40;
  return scalar;
}

const Bytes ZERO{};
const Bytes NINE = {9};

// OpenSSL's X25519: u(scalar * P) with the scalar clamped.
Bytes x25519(const Bytes& scalar, const Bytes& u) {
  EVP_PKEY* own = EVP_PKEY_new_raw_private_key(EVP_PKEY_X25519, nullptr, scalar.data(), 32);
  EVP_PKEY* peer = EVP_PKEY_new_raw_public_key(EVP_PKEY_X25519, nullptr, u.data(), 32);
  EVP_PKEY_CTX* context = EVP_PKEY_CTX_new(own, nullptr);
  Bytes out{};
  size_t size = out.size();
  EXPECT_TRUE(peer && context && EVP_PKEY_derive_init(context) == 1 &&
              EVP_PKEY_derive_set_peer(context, peer) == 1 &&
              EVP_PKEY_derive(context, out.data(), &size) == 1);
  EVP_PKEY_CTX_free(context);
  EVP_PKEY_free(peer);
  EVP_PKEY_free(own);
  return out;
}

// The ladder in the field form the build chose, held to the ten-limb reference form, and
// to the 51-bit form where the host has it.
std::string ladder(const Bytes& s, const Bytes& h, const Bytes& p) {
  Bytes y{}, reference{};
  two_scalar_ladder(y.data(), s.data(), h.data(), p.data());
  two_scalar_ladder_in<FieldElement>(reference.data(), s.data(), h.data(), p.data());
  EXPECT_EQ(hex(y), hex(reference));
#if FIELD51_AVAILABLE
  Bytes wide{};
  two_scalar_ladder_in<FieldElement51>(wide.data(), s.data(), h.data(), p.data());
  EXPECT_EQ(hex(wide), hex(reference));
#endif
  return hex(y);
}

// u(s*A + h*G) by OpenSSL's prime-field curve arithmetic on the Weierstrass form of the
// curve (x = u + k, y = v with k = 486662/3), A and G taking the even v. Independent of the
// ladder, it pins which of A + G and A - G the ladder tracks.
std::string two_scalar_reference(const Bytes& s, const Bytes& h, const Bytes& a_u) {
  BN_CTX* context = BN_CTX_new();
  BIGNUM *p = nullptr, *k = BN_new(), *a = BN_new(), *b = BN_new(), *x = BN_new();
  BIGNUM *s_n = BN_lebin2bn(s.data(), 32, nullptr), *h_n = BN_lebin2bn(h.data(), 32, nullptr);
  BN_hex2bn(&p, "7fffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffed");
  BN_set_word(x, 3);
  BN_mod_inverse(k, x, p, context);
  BN_mul_word(k, 486662);
  BN_mod_sqr(a, k, p, context);
  BN_mod_mul(b, a, k, p, context);
  BN_mul_word(a, 3);
  BN_mod_sub(a, BN_value_one(), a, p, context);  // a = 1 - 3k^2
  BN_mul_word(b, 2);
  BN_mod_sub(b, b, k, p, context);  // b = 2k^3 - k
  EC_GROUP* curve = EC_GROUP_new_curve_GFp(p, a, b, context);
  EC_POINT *base = EC_POINT_new(curve), *point = EC_POINT_new(curve), *sum = EC_POINT_new(curve);
  for (auto [target, u] : {std::pair{base, &NINE}, {point, &a_u}}) {
    BN_lebin2bn(u->data(), 32, x);
    BN_mod_add(x, x, k, p, context);
    EXPECT_EQ(EC_POINT_set_compressed_coordinates(curve, target, x, 0, context), 1);
  }
  EXPECT_TRUE(EC_POINT_mul(curve, point, nullptr, point, s_n, context) == 1 &&
              EC_POINT_mul(curve, sum, nullptr, base, h_n, context) == 1 &&
              EC_POINT_add(curve, sum, sum, point, context) == 1 &&
              EC_POINT_get_affine_coordinates(curve, sum, x, nullptr, context) == 1);
  BN_mod_sub(x, x, k, p, context);
  Bytes u{};
  BN_bn2lebinpad(x, u.data(), 32);
  for (EC_POINT* q : {base, point, sum}) EC_POINT_free(q);
  EC_GROUP_free(curve);
  for (BIGNUM* n : {p, k, a, b, x, s_n, h_n}) BN_free(n);
  BN_CTX_free(context);
  return hex(u);
}

TEST(TwoScalarLadder, OneScalarZeroMatchesRfc7748) {
  const Bytes alice = bytes_of("77076d0a7318a57d3c16c17251b26645df4c2f87ebc0992ab177fba51db92c2a");
  const Bytes bob_public =
      bytes_of("de9edb7d7b7dc1b4d35b61c2ece435373f8343c85b78674dadfc7e146f882b4f");
  // h * G: with s = 0 the point P plays no part, whether it is G or another point.
  EXPECT_EQ(ladder(ZERO, clamped(alice), bob_public),
            "8520f0098930a754748b7ddcb43ef75a0dbf3a0d26381af4eba4a98eaa9b4e6a");
  EXPECT_EQ(ladder(ZERO, clamped(NINE), NINE),
            "422c8e7a6227d7bca1350b3e2bb7279f7897b87bb6854b783c60e80311ae3079");
  // s * P.
  EXPECT_EQ(ladder(clamped(alice), ZERO, bob_public),
            "4a5d9d5ba4ce2de1728e3bf480350f25e07e21c947d19e3376f09b3c1e161742");
}

// With one scalar zero the ladder is X25519 of the other; with both it is the curve's sum.
// Points off the curve, u at or past p, bit 255 set: whatever the scalars and the point, both
// field forms come to the same bytes.
TEST(TwoScalarLadder, RandomInputsMatchOpenSslAndTheFieldFormsAgree) {
  Bytes all_ones;
  all_ones.fill(0xFF);
  Bytes p = all_ones;
  p[31] = 0x7F;
  p[0] = 0xED;
  const Bytes edges[] = {ZERO, NINE, p, all_ones, Bytes{1}};
  for (int round = 0; round < 40; ++round) {
    SCOPED_TRACE(testing::Message() << "round " << round);
    Bytes random[3];
    for (Bytes& bytes : random) ASSERT_EQ(RAND_bytes(bytes.data(), 32), 1);
    const Bytes point = x25519(random[0], NINE);
    const Bytes scalar = clamped(random[1]);
    EXPECT_EQ(ladder(scalar, ZERO, point), hex(x25519(scalar, point)));
    EXPECT_EQ(ladder(ZERO, scalar, point), hex(x25519(scalar, NINE)));
    if (round < 6) {
      Bytes s = random[1], h = random[2];
      if (round == 0) s = Bytes{1};  // small scalars walk other branches of the chain
      if (round == 1) h = Bytes{3};
      EXPECT_EQ(ladder(s, h, point), two_scalar_reference(s, h, point));
    }
    if (round < 5) random[2] = edges[round];
    if (round == 5) random[0] = all_ones;
    ladder(random[0], random[1], random[2]);
  }
}

}  // namespace
