#include "crypto/field25519.h"

#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <array>
#include <string>
#include <type_traits>

#include "crypto/field25519_51.h"
#include "crypto/hex_text.h"
#include "crypto/ladder.h"

namespace {

using Bytes = std::array<unsigned char, 32>;
const char* const P_HEX = "7fffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffed";

// Both field forms answer to the same tests: the ten-limb one the 32-bit target runs, and
// the 51-bit one of 64-bit hosts.
#if FIELD51_AVAILABLE
using FieldForms = ::testing::Types<FieldElement, FieldElement51>;
#else
using FieldForms = ::testing::Types<FieldElement>;
#endif

template <typename Field>
constexpr int TOP = std::extent<decltype(Field::limb)>::value - 1;
template <typename Field>
constexpr int TOP_WIDTH = TOP<Field> == 9 ? 25 : 51;

template <typename Field>
std::string packed(const Field& x) {
  Bytes bytes{};
  fe_pack(bytes.data(), x);
  return to_hex(bytes.data(), bytes.size());
}

std::string hex(const Bytes& bytes) { return to_hex(bytes.data(), bytes.size()); }

std::string small(unsigned value) { return hex(Bytes{static_cast<unsigned char>(value)}); }

// p + offset as 32 little-endian bytes, for offsets in -19 ... 12.
Bytes p_plus(int offset) {
  Bytes bytes;
  bytes.fill(0xFF);
  bytes[31] = 0x7F;
  bytes[0] = static_cast<unsigned char>(0xED + offset);
  return bytes;
}

template <typename Field>
Field unpacked(const Bytes& bytes) {
  Field x;
  fe_unpack(x, bytes.data());
  return x;
}

template <typename Field>
class FieldForm : public ::testing::Test {};
TYPED_TEST_SUITE(FieldForm, FieldForms);

TYPED_TEST(FieldForm, PackWritesTheValueReducedBelowP) {
  using Field = TypeParam;
  const auto unpacked = ::unpacked<Field>;
  constexpr int top = TOP<Field>;
  Field x, one;
  fe_set(one, 1);

  // A product that comes out as p + 1 is still p + 1 in its limbs.
  fe_mul(x, unpacked(p_plus(1)), one);
  EXPECT_TRUE(fe_is_overflow(x));
  EXPECT_EQ(packed(x), small(1));
  EXPECT_EQ(packed(unpacked(p_plus(0))), small(0));
  EXPECT_EQ(packed(unpacked(p_plus(-1))), hex(p_plus(-1)));

  // 0 - 5 carried ends with a negative top limb and packs as p - 5, which is even.
  Field five;
  fe_set(five, 5);
  fe_set(x, 0);
  fe_sub(x, x, five);
  fe_mul_small(x, x, 1);
  EXPECT_LT(x.limb[top], 0);
  EXPECT_EQ(packed(x), hex(p_plus(-5)));
  EXPECT_FALSE(fe_is_negative(x));

  // 0 - 2^255 (the top limb one over its width): fe_pack's own carry leaves the top limb
  // negative, and the value is p - 19.
  fe_set(x, 0);
  x.limb[top] = -(std::remove_reference_t<decltype(x.limb[0])>(1) << TOP_WIDTH<Field>);
  EXPECT_EQ(packed(x), hex(p_plus(-19)));
}

// The reference: modular arithmetic of BIGNUM, results as packed bytes.
std::string bignum_hex(BIGNUM* n, const BIGNUM* p, BN_CTX* context) {
  Bytes bytes{};
  BN_nnmod(n, n, p, context);
  BN_bn2lebinpad(n, bytes.data(), 32);
  return hex(bytes);
}

TYPED_TEST(FieldForm, ArithmeticMatchesBignumOnRandomOperands) {
  using Field = TypeParam;
  const auto unpacked = ::unpacked<Field>;
  BN_CTX* context = BN_CTX_new();
  BIGNUM *p = nullptr, *root_exponent = nullptr;
  BN_hex2bn(&p, P_HEX);
  BN_hex2bn(&root_exponent, "0ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffd");
  BIGNUM *a = BN_new(), *b = BN_new(), *c = BN_new(), *expected = BN_new();
  BIGNUM *difference_n = BN_new(), *sum_n = BN_new();
  for (int round = 0; round < 200; ++round) {
    Bytes x{}, y{}, z{};
    for (Bytes* bytes : {&x, &y, &z}) ASSERT_EQ(RAND_bytes(bytes->data(), 32), 1);
    if (round == 0) {  // the widest limbs that unpacking (bit 255 too) and one addition make
      x.fill(0xFF);
      z.fill(0xFF);
      y.fill(0);
    }
    for (auto [number, bytes] : {std::pair{a, &x}, {b, &y}, {c, &z}}) {
      BN_lebin2bn(bytes->data(), 32, number);
    }

    // (x - y) * (z + x) and (x - y)^2 * 486662, with unreduced limbs going in.
    Field difference, sum, out;
    fe_sub(difference, unpacked(x), unpacked(y));
    fe_add(sum, unpacked(z), unpacked(x));
    BN_mod_sub(difference_n, a, b, p, context);
    BN_mod_add(sum_n, c, a, p, context);
    fe_mul(out, difference, sum);
    BN_mod_mul(expected, difference_n, sum_n, p, context);
    EXPECT_EQ(packed(out), bignum_hex(expected, p, context));
    fe_sqr(out, difference);
    fe_mul_small(out, out, 486662);
    BN_mod_sqr(expected, difference_n, p, context);
    BN_mul_word(expected, 486662);
    EXPECT_EQ(packed(out), bignum_hex(expected, p, context));

    // x^((p-5)/8), the parity that fe_is_negative reports, and x * x^(p-2) = 1.
    fe_pow(out, unpacked(x), FE_POW_ROOT);
    BN_mod_exp(expected, a, root_exponent, p, context);
    EXPECT_EQ(fe_is_negative(out), BN_is_odd(expected) == 1);
    EXPECT_EQ(packed(out), bignum_hex(expected, p, context));
    fe_pow(out, unpacked(x), FE_POW_INVERT);
    fe_mul(out, out, unpacked(x));
    EXPECT_EQ(packed(out), small(1));
  }
  for (BIGNUM* n : {p, root_exponent, a, b, c, expected, difference_n, sum_n}) BN_free(n);
  BN_CTX_free(context);
}

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
  BN_hex2bn(&p, P_HEX);
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

// With one scalar zero the ladder is X25519 of the other; with both it is the curve's sum.
// Points off the curve, u at or past p, bit 255 set: whatever the scalars and the point, both
// field forms come to the same bytes.
TEST(TwoScalarLadder, RandomInputsMatchOpenSslAndTheFieldFormsAgree) {
  Bytes all_ones;
  all_ones.fill(0xFF);
  const Bytes edges[] = {ZERO, NINE, p_plus(0), all_ones, Bytes{1}};
  for (int round = 0; round < 40; ++round) {
    SCOPED_TRACE(testing::Message() << "round " << round);
    Bytes random[3];
    for (Bytes& bytes : random) ASSERT_EQ(RAND_bytes(bytes.data(), 32), 1);
    const Bytes point = x25519(random[0], NINE);
    const Bytes scalar = clamped(random[1]);
    EXPECT_EQ(ladder(scalar, ZERO, point), hex(x25519(scalar, point)));
    EXPECT_EQ(ladder(ZERO, scalar, point), hex(x25519(scalar, NINE)));
    EXPECT_EQ(ladder(ZERO, scalar, NINE), hex(x25519(scalar, NINE)));  // A = G
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
