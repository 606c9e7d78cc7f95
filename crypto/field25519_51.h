// The same arithmetic modulo 2^255 - 19 as crypto/field25519.h, for 64-bit hosts whose
// compiler multiplies 64x64->128 bits: five signed limbs of 51 bits, a quarter of the limb
// products. The ten-limb form stays the one the 32-bit target runs; the build picks this one
// with INSTALLER_FIELD51, and the tests hold both to the same results.
#pragma once

#if defined(__SIZEOF_INT128__)
#define FIELD51_AVAILABLE 1

#include <cstdint>

#include "crypto/field25519.h"  // FE_POW_INVERT, FE_POW_ROOT

// Limbs start at bits 0, 51, 102, 153 and 204. As with the ten-limb form: sums and
// differences of carried elements are accepted by every operation; products leave limbs
// 0 ... 3 within 51 bits and non-negative, and the top one a few bits over 2^51 or slightly
// negative.
struct FieldElement51 {
  int64_t limb[5];
};

void fe_set(FieldElement51& out, int32_t value);
void fe_copy(FieldElement51& out, const FieldElement51& x);
void fe_add(FieldElement51& out, const FieldElement51& a, const FieldElement51& b);
void fe_sub(FieldElement51& out, const FieldElement51& a, const FieldElement51& b);
void fe_mul(FieldElement51& out, const FieldElement51& a, const FieldElement51& b);
void fe_sqr(FieldElement51& out, const FieldElement51& x);
void fe_mul_small(FieldElement51& out, const FieldElement51& x, int32_t factor);
void fe_pow(FieldElement51& out, const FieldElement51& x, int mode);
bool fe_is_overflow(const FieldElement51& x);
bool fe_is_negative(const FieldElement51& x);
void fe_unpack(FieldElement51& out, const unsigned char* bytes);
void fe_pack(unsigned char* bytes, const FieldElement51& x);

#endif
