#include "crypto/field25519.h"

#include "crypto/field_chain.h"
#include "crypto/little_endian.h"

namespace {

constexpr int WIDTH[10] = {26, 25, 26, 25, 26, 25, 26, 25, 26, 25};
constexpr int START[10] = {0, 26, 51, 77, 102, 128, 153, 179, 204, 230};
constexpr int32_t MASK25 = (1 << 25) - 1;
constexpr int32_t MASK26 = (1 << 26) - 1;

// Moves what lies above limb i's width into the next limb; above the top limb it is worth
// 2^255, that is 19. The arithmetic shift rounds down, so the limb ends in its width and
// non-negative.
inline void carry_limb(int64_t* h, int i) {
  const int64_t carry = h[i] >> WIDTH[i];
  h[i] -= carry * (int64_t(1) << WIDTH[i]);
  if (i == 9) {
    h[0] += 19 * carry;
  } else {
    h[i + 1] += carry;
  }
}

// Column sums below 2^63 in, carried form out. Limb 8 goes first so that after the fold the
// second pass can only push a few bits into the top limb.
inline void carry_into(FieldElement& out, int64_t* h) {
  carry_limb(h, 8);
  carry_limb(h, 9);
#pragma GCC unroll 9
  for (int i = 0; i < 9; ++i) carry_limb(h, i);
  for (int i = 0; i < 10; ++i) out.limb[i] = static_cast<int32_t>(h[i]);
}

// Limb i times limb j stands at bit START[i] + START[j], which is one bit short of
// START[i + j] when both are odd; columns from 10 on pass bit 255 and come back times 19.
void fold_columns(int64_t* h, const int64_t* low, const int64_t* high) {
  for (int k = 0; k < 10; ++k) h[k] = low[k] + 19 * high[k];
}

}  // namespace

void fe_set(FieldElement& out, int32_t value) {
  out.limb[0] = value;
  for (int i = 1; i < 10; ++i) out.limb[i] = 0;
}

void fe_copy(FieldElement& out, const FieldElement& x) { out = x; }

void fe_add(FieldElement& out, const FieldElement& a, const FieldElement& b) {
  for (int i = 0; i < 10; ++i) out.limb[i] = a.limb[i] + b.limb[i];
}

void fe_sub(FieldElement& out, const FieldElement& a, const FieldElement& b) {
  for (int i = 0; i < 10; ++i) out.limb[i] = a.limb[i] - b.limb[i];
}

void fe_mul(FieldElement& out, const FieldElement& a, const FieldElement& b) {
  const int32_t* f = a.limb;
  const int32_t* g = b.limb;
  int64_t low[10] = {};
  int64_t high[10] = {};
#pragma GCC unroll 10
  for (int i = 0; i < 10; ++i) {
    const int32_t doubled = (i & 1) ? 2 * f[i] : f[i];
#pragma GCC unroll 10
    for (int j = 0; j < 10; ++j) {
      const int64_t product = int64_t((j & 1) ? doubled : f[i]) * g[j];
      if (i + j < 10) {
        low[i + j] += product;
      } else {
        high[i + j - 10] += product;
      }
    }
  }
  int64_t h[10];
  fold_columns(h, low, high);
  carry_into(out, h);
}

void fe_sqr(FieldElement& out, const FieldElement& x) {
  const int32_t* f = x.limb;
  int64_t low[10] = {};
  int64_t high[10] = {};
#pragma GCC unroll 10
  for (int i = 0; i < 10; ++i) {
#pragma GCC unroll 10
    for (int j = i; j < 10; ++j) {
      const int factor = (i == j ? 1 : 2) * ((i & j & 1) ? 2 : 1);
      const int64_t product = int64_t(f[i]) * f[j] * factor;
      if (i + j < 10) {
        low[i + j] += product;
      } else {
        high[i + j - 10] += product;
      }
    }
  }
  int64_t h[10];
  fold_columns(h, low, high);
  carry_into(out, h);
}

void fe_mul_small(FieldElement& out, const FieldElement& x, int32_t factor) {
  int64_t h[10];
  for (int i = 0; i < 10; ++i) h[i] = int64_t(x.limb[i]) * factor;
  carry_into(out, h);
}

void fe_pow(FieldElement& out, const FieldElement& x, int mode) {
  pow_chain(out, x, mode == FE_POW_INVERT);
}

bool fe_is_overflow(const FieldElement& x) {
  const int32_t* t = x.limb;
  if (t[9] > MASK25) return true;
  for (int i = 1; i < 10; ++i) {
    if (t[i] != ((i & 1) ? MASK25 : MASK26)) return false;
  }
  return t[0] > MASK26 - 19;
}

bool fe_is_negative(const FieldElement& x) {
  const int32_t outside = (fe_is_overflow(x) || x.limb[9] < 0) ? 1 : 0;
  return ((outside ^ x.limb[0]) & 1) != 0;
}

void fe_unpack(FieldElement& out, const unsigned char* bytes) {
  for (int i = 0; i < 10; ++i) {
    const uint32_t window = load_u32(bytes + START[i] / 8) >> (START[i] % 8);
    const int width = i == 9 ? 26 : WIDTH[i];  // the top limb keeps bit 255
    out.limb[i] = static_cast<int32_t>(window & ((uint32_t(1) << width) - 1));
  }
}

void fe_pack(unsigned char* bytes, const FieldElement& x) {
  int64_t h[10];
  FieldElement carried;
  for (int i = 0; i < 10; ++i) h[i] = x.limb[i];
  carry_into(carried, h);

  // One p more or less brings the carried value into 0 ... p-1.
  const int32_t l = (fe_is_overflow(carried) ? 1 : 0) - (carried.limb[9] < 0 ? 1 : 0);
  for (int i = 0; i < 10; ++i) h[i] = carried.limb[i];
  h[0] += 19 * l;
  for (int i = 0; i < 9; ++i) carry_limb(h, i);
  h[9] -= int64_t(l) * (int64_t(1) << 25);

  uint64_t bits = 0;
  int held = 0;
  int written = 0;
  for (int i = 0; i < 10; ++i) {
    bits |= uint64_t(h[i]) << held;
    held += WIDTH[i];
    for (; held >= 8; held -= 8) {
      bytes[written++] = static_cast<unsigned char>(bits);
      bits >>= 8;
    }
  }
  bytes[written] = static_cast<unsigned char>(bits);
}
