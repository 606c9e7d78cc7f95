// Arithmetic modulo p = 2^255 - 19 for the level-1 signature check, in a form that suits a
// 32-bit processor: every limb product is a 32x32->64-bit multiplication.
#pragma once

#include <cstdint>

// Ten signed limbs, alternately 26 and 25 bits wide, starting at bits 0, 26, 51, 77, 102,
// 128, 153, 179, 204 and 230. Sums and differences may leave limbs outside their widths or
// negative; products carry every limb but the top one back into its width and non-negative,
// the top one may be a few bits over 2^25 or slightly negative ("carried" form).
// Every operation accepts any operand that is the sum or difference of two carried
// elements, and may write over its operands.
struct FieldElement {
  int32_t limb[10];
};

void fe_set(FieldElement& out, int32_t value);  // value must fit in 26 bits
void fe_copy(FieldElement& out, const FieldElement& x);
void fe_add(FieldElement& out, const FieldElement& a, const FieldElement& b);
void fe_sub(FieldElement& out, const FieldElement& a, const FieldElement& b);
void fe_mul(FieldElement& out, const FieldElement& a, const FieldElement& b);
void fe_sqr(FieldElement& out, const FieldElement& x);
// Multiplies by a constant below 2^20 (486662, 121665, or 1 to carry) and carries.
void fe_mul_small(FieldElement& out, const FieldElement& x, int32_t factor);

enum : int {
  FE_POW_INVERT = 0,  // x^(p-2): the reciprocal, and 0 for 0
  FE_POW_ROOT = 1,    // x^((p-5)/8), the core of a square root
};
void fe_pow(FieldElement& out, const FieldElement& x, int mode);

// For carried elements only: whether the value lies in p ... 2^255 + a little, and
// whether its reduction into 0 ... p-1 is odd.
bool fe_is_overflow(const FieldElement& x);
bool fe_is_negative(const FieldElement& x);

// 32 little-endian bytes, all 256 bits: bit 255 stays in the top limb and counts as 19.
void fe_unpack(FieldElement& out, const unsigned char* bytes);
// Writes the value reduced into 0 ... p-1 as 32 little-endian bytes.
void fe_pack(unsigned char* bytes, const FieldElement& x);
