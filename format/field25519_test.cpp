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

// Values modulo p with BIGNUM, the reference for random operands.
class Reference {
 public:
  Reference() {
    BN_hex2bn(&p_, "7fffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffed");
  }
  ~Reference() {
    BN_free(p_);
    BN_CTX_free(context_);
  }
  BIGNUM* number(const Bytes& bytes) {
    BIGNUM* n = BN_lebin2bn(bytes.data(), 32, nullptr);
    BN_nnmod(n, n, p_, context_);
    return n;
  }
  std::string hex(BIGNUM* n) {
    Bytes bytes{};
    BN_nnmod(n, n, p_, context_);
    BN_bn2lebinpad(n, bytes.data(), 32);
    BN_free(n);
    return to_hex(bytes.data(), 32);
  }
  BIGNUM* p() { return p_; }
  BN_CTX* context() { return context_; }

 private:
  BIGNUM* p_ = nullptr;
  BN_CTX* context_ = BN_CTX_new();
};

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

TEST(FieldArithmetic, MatchesBignumOnRandomOperands) {
  Reference reference;
  for (int round = 0; round < 200; ++round) {
    Bytes a{}, b{}, c{};
    for (Bytes* bytes : {&a, &b, &c}) ASSERT_EQ(RAND_bytes(bytes->data(), 32), 1);
    if (round == 0) {  // the widest limbs that unpacking and one addition can make
      a.fill(0xFF);
      c.fill(0xFF);
      b.fill(0);
    }
    const FieldElement fa = unpacked(a), fb = unpacked(b), fc = unpacked(c);

    // (a - b) * (c + a), with unreduced limbs going in.
    FieldElement difference, sum, out;
    fe_sub(difference, fa, fb);
    fe_add(sum, fc, fa);
    fe_mul(out, difference, sum);
    BIGNUM *na = reference.number(a), *nb = reference.number(b), *nc = reference.number(c);
    BIGNUM* expected = BN_new();
    BIGNUM* t = BN_new();
    BN_mod_sub(expected, na, nb, reference.p(), reference.context());
    BN_mod_add(t, nc, na, reference.p(), reference.context());
    BN_mod_mul(expected, expected, t, reference.p(), reference.context());
    EXPECT_EQ(hex(packed(out)), reference.hex(expected));

    // (a - b)^2 * 486662
    fe_sqr(out, difference);
    fe_mul_small(out, out, 486662);
    expected = BN_new();
    BN_mod_sub(expected, na, nb, reference.p(), reference.context());
    BN_mod_sqr(expected, expected, reference.p(), reference.context());
    BN_mul_word(expected, 486662);
    EXPECT_EQ(hex(packed(out)), reference.hex(expected));

    // a^((p-5)/8), and the parity that fe_is_negative reports.
    fe_pow(out, fa, FE_POW_ROOT);
    expected = BN_new();
    BN_sub(t, reference.p(), BN_value_one());
    BN_sub_word(t, 4);
    BN_rshift(t, t, 3);
    BN_mod_exp(expected, na, t, reference.p(), reference.context());
    EXPECT_EQ(fe_is_negative(out), BN_is_odd(expected) == 1);
    EXPECT_EQ(hex(packed(out)), reference.hex(expected));

    // a^(p-2)
    fe_pow(out, fa, FE_POW_INVERT);
    expected = BN_mod_inverse(nullptr, na, reference.p(), reference.context());
    EXPECT_EQ(hex(packed(out)), reference.hex(expected));
    for (BIGNUM* n : {na, nb, nc, t}) BN_free(n);
  }
}

}  // namespace
