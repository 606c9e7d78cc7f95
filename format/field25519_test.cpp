#include "format/field25519.h"

#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/rand.h>

#include <array>
#include <string>

#include "tools/hex_text.h"

namespace {

using Bytes = std::array<unsigned char, 32>;

Bytes packed(const FieldElement& x) {
  Bytes bytes{};
  fe_pack(bytes.data(), x);
  return bytes;
}

Bytes small(unsigned value) { return Bytes{static_cast<unsigned char>(value)}; }

// p + offset as 32 little-endian bytes, for offsets in -19 ... 12.
Bytes p_plus(int offset) {
  Bytes bytes;
  bytes.fill(0xFF);
  bytes[31] = 0x7F;
  bytes[0] = static_cast<unsigned char>(0xED + offset);
  return bytes;
}

FieldElement unpacked(const Bytes& bytes) {
  FieldElement x;
  fe_unpack(x, bytes.data());
  return x;
}

std::string hex(const Bytes& bytes) { return to_hex(bytes.data(), bytes.size()); }

TEST(FieldPack, WritesTheValueReducedBelowP) {
  FieldElement x, one;
  fe_set(one, 1);

  // A product that comes out as p + 1 is still p + 1 in its limbs.
  fe_mul(x, unpacked(p_plus(1)), one);
  EXPECT_TRUE(fe_is_overflow(x));
  EXPECT_EQ(hex(packed(x)), hex(small(1)));
  EXPECT_EQ(hex(packed(unpacked(p_plus(0)))), hex(small(0)));
  EXPECT_EQ(hex(packed(unpacked(p_plus(-1)))), hex(p_plus(-1)));
  EXPECT_FALSE(fe_is_overflow(unpacked(p_plus(-1))));

  // Negative: 0 - 5 carried ends with a negative top limb and packs as p - 5.
  FieldElement five;
  fe_set(five, 5);
  fe_set(x, 0);
  fe_sub(x, x, five);
  fe_mul_small(x, x, 1);
  EXPECT_LT(x.limb[9], 0);
  EXPECT_EQ(hex(packed(x)), hex(p_plus(-5)));
  EXPECT_FALSE(fe_is_negative(x));  // p - 5 is even
  fe_sub(x, x, one);
  fe_mul_small(x, x, 1);
  EXPECT_TRUE(fe_is_negative(x));  // p - 6 is odd
  EXPECT_EQ(hex(packed(x)), hex(p_plus(-6)));

  // Bit 255 is kept by fe_unpack and counts as 19.
  Bytes all_ones;
  all_ones.fill(0xFF);
  EXPECT_EQ(hex(packed(unpacked(all_ones))), hex(small(37)));
  Bytes top_bit{};
  top_bit[31] = 0x80;
  EXPECT_EQ(hex(packed(unpacked(top_bit))), hex(small(19)));
}

TEST(FieldPow, ZeroAndKnownPowers) {
  FieldElement x;
  fe_set(x, 0);
  fe_pow(x, x, FE_POW_INVERT);
  EXPECT_EQ(hex(packed(x)), hex(small(0)));

  fe_set(x, 2);
  FieldElement inverse, product;
  fe_pow(inverse, x, FE_POW_INVERT);
  fe_mul(product, inverse, x);
  EXPECT_EQ(hex(packed(product)), hex(small(1)));
}

// The reference: modular arithmetic of BIGNUM, results as packed bytes.
std::string bignum_hex(BIGNUM* n, const BIGNUM* p, BN_CTX* context) {
  Bytes bytes{};
  BN_nnmod(n, n, p, context);
  BN_bn2lebinpad(n, bytes.data(), 32);
  return hex(bytes);
}

TEST(FieldArithmetic, MatchesBignumOnRandomOperands) {
  BN_CTX* context = BN_CTX_new();
  BIGNUM *p = nullptr, *root_exponent = nullptr;
  BN_hex2bn(&p, "7fffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffed");
  BN_hex2bn(&root_exponent, "0ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffd");
  BIGNUM *a = BN_new(), *b = BN_new(), *c = BN_new(), *expected = BN_new();
  for (int round = 0; round < 200; ++round) {
    Bytes x{}, y{}, z{};
    for (Bytes* bytes : {&x, &y, &z}) ASSERT_EQ(RAND_bytes(bytes->data(), 32), 1);
    if (round == 0) {  // the widest limbs that unpacking and one addition can make
      x.fill(0xFF);
      z.fill(0xFF);
      y.fill(0);
    }
    for (auto [number, bytes] : {std::pair{a, &x}, {b, &y}, {c, &z}}) {
      BN_lebin2bn(bytes->data(), 32, number);
    }

    // (x - y) * (z + x) and (x - y)^2 * 486662, with unreduced limbs going in.
    FieldElement difference, sum, out;
    fe_sub(difference, unpacked(x), unpacked(y));
    fe_add(sum, unpacked(z), unpacked(x));
    fe_mul(out, difference, sum);
    BN_mod_sub(expected, a, b, p, context);
    BN_mod_add(c, c, a, p, context);
    BN_mod_mul(expected, expected, c, p, context);
    EXPECT_EQ(hex(packed(out)), bignum_hex(expected, p, context));
    fe_sqr(out, difference);
    fe_mul_small(out, out, 486662);
    BN_mod_sub(expected, a, b, p, context);
    BN_mod_sqr(expected, expected, p, context);
    BN_mul_word(expected, 486662);
    EXPECT_EQ(hex(packed(out)), bignum_hex(expected, p, context));

    // x^((p-5)/8), and the parity that fe_is_negative reports.
    fe_pow(out, unpacked(x), FE_POW_ROOT);
    BN_mod_exp(expected, a, root_exponent, p, context);
    BN_nnmod(expected, expected, p, context);
    EXPECT_EQ(fe_is_negative(out), BN_is_odd(expected) == 1);
    EXPECT_EQ(hex(packed(out)), bignum_hex(expected, p, context));
  }
  for (BIGNUM* n : {p, root_exponent, a, b, c, expected}) BN_free(n);
  BN_CTX_free(context);
}

}  // namespace
