#include "crypto/field25519.h"

#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/rand.h>

#include <array>
#include <string>
#include <type_traits>

#include "crypto/hex_text.h"
#include "crypto/field25519_51.h"

namespace {

using Bytes = std::array<unsigned char, 32>;

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
  BN_hex2bn(&p, "7fffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffed");
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

}  // namespace
