#include "crypto/field25519_51.h"

#if FIELD51_AVAILABLE

#include "crypto/field_chain.h"
#include "crypto/little_endian.h"

namespace {

using Wide = __int128;
constexpr int64_t MASK51 = (int64_t(1) << 51) - 1;

inline uint64_t load_u64(const unsigned char* bytes) {
  return uint64_t(load_u32(bytes)) | (uint64_t(load_u32(bytes + 4)) << 32);
}

// The bits of h below 2^51, as a non-negative limb: what the arithmetic shift by 51 leaves.
inline int64_t low51(Wide h) { return static_cast<int64_t>(static_cast<uint64_t>(h) & MASK51); }

// As in the ten-limb form: what lies above a limb's 51 bits moves up, above the top limb it is
// worth 2^255, that is 19. Limb 3 goes first so that the second pass pushes only a few bits
// into the top limb.
inline void carry_into(FieldElement51& out, Wide h0, Wide h1, Wide h2, Wide h3, Wide h4) {
  h4 += h3 >> 51;
  int64_t* r = out.limb;
  r[3] = low51(h3);
  h0 += 19 * (h4 >> 51);
  r[4] = low51(h4);
  h1 += h0 >> 51;
  r[0] = low51(h0);
  h2 += h1 >> 51;
  r[1] = low51(h1);
  const Wide top_carry = r[3] + (h2 >> 51);
  r[2] = low51(h2);
  r[3] = low51(top_carry);
  r[4] += static_cast<int64_t>(top_carry >> 51);
}

inline void carry_into(FieldElement51& out, const Wide* h) {
  carry_into(out, h[0], h[1], h[2], h[3], h[4]);
}

}  // namespace

void fe_set(FieldElement51& out, int32_t value) {
  out.limb[0] = value;
  for (int i = 1; i < 5; ++i) out.limb[i] = 0;
}

void fe_copy(FieldElement51& out, const FieldElement51& x) { out = x; }

void fe_add(FieldElement51& out, const FieldElement51& a, const FieldElement51& b) {
  for (int i = 0; i < 5; ++i) out.limb[i] = a.limb[i] + b.limb[i];
}

void fe_sub(FieldElement51& out, const FieldElement51& a, const FieldElement51& b) {
  for (int i = 0; i < 5; ++i) out.limb[i] = a.limb[i] - b.limb[i];
}

// Limbs of sums and differences stay below 2^54, so a product with the 19 of the wrapped
// columns is below 2^113 and a column of five below 2^116.
void fe_mul(FieldElement51& out, const FieldElement51& a, const FieldElement51& b) {
  const int64_t* f = a.limb;
  const int64_t* g = b.limb;
  const int64_t g1_19 = 19 * g[1], g2_19 = 19 * g[2], g3_19 = 19 * g[3], g4_19 = 19 * g[4];
  carry_into(out,
             Wide(f[0]) * g[0] + Wide(f[1]) * g4_19 + Wide(f[2]) * g3_19 + Wide(f[3]) * g2_19 +
                 Wide(f[4]) * g1_19,
             Wide(f[0]) * g[1] + Wide(f[1]) * g[0] + Wide(f[2]) * g4_19 + Wide(f[3]) * g3_19 +
                 Wide(f[4]) * g2_19,
             Wide(f[0]) * g[2] + Wide(f[1]) * g[1] + Wide(f[2]) * g[0] + Wide(f[3]) * g4_19 +
                 Wide(f[4]) * g3_19,
             Wide(f[0]) * g[3] + Wide(f[1]) * g[2] + Wide(f[2]) * g[1] + Wide(f[3]) * g[0] +
                 Wide(f[4]) * g4_19,
             Wide(f[0]) * g[4] + Wide(f[1]) * g[3] + Wide(f[2]) * g[2] + Wide(f[3]) * g[1] +
                 Wide(f[4]) * g[0]);
}

void fe_sqr(FieldElement51& out, const FieldElement51& x) {
  const int64_t* f = x.limb;
  const int64_t f0_2 = 2 * f[0], f1_2 = 2 * f[1], f2_2 = 2 * f[2], f3_2 = 2 * f[3];
  const int64_t f3_19 = 19 * f[3], f4_19 = 19 * f[4];
  carry_into(out, Wide(f[0]) * f[0] + Wide(f1_2) * f4_19 + Wide(f2_2) * f3_19,
             Wide(f0_2) * f[1] + Wide(f2_2) * f4_19 + Wide(f[3]) * f3_19,
             Wide(f0_2) * f[2] + Wide(f[1]) * f[1] + Wide(f3_2) * f4_19,
             Wide(f0_2) * f[3] + Wide(f1_2) * f[2] + Wide(f[4]) * f4_19,
             Wide(f0_2) * f[4] + Wide(f1_2) * f[3] + Wide(f[2]) * f[2]);
}

void fe_mul_small(FieldElement51& out, const FieldElement51& x, int32_t factor) {
  Wide h[5];
  for (int i = 0; i < 5; ++i) h[i] = Wide(x.limb[i]) * factor;
  carry_into(out, h);
}

void fe_pow(FieldElement51& out, const FieldElement51& x, int mode) {
  pow_chain(out, x, mode == FE_POW_INVERT);
}

bool fe_is_overflow(const FieldElement51& x) {
  const int64_t* t = x.limb;
  if (t[4] > MASK51) return true;
  for (int i = 1; i < 5; ++i) {
    if (t[i] != MASK51) return false;
  }
  return t[0] > MASK51 - 19;
}

bool fe_is_negative(const FieldElement51& x) {
  const int64_t outside = (fe_is_overflow(x) || x.limb[4] < 0) ? 1 : 0;
  return ((outside ^ x.limb[0]) & 1) != 0;
}

void fe_unpack(FieldElement51& out, const unsigned char* bytes) {
  for (int i = 0; i < 4; ++i) {
    const int start = 51 * i;
    out.limb[i] = static_cast<int64_t>(load_u64(bytes + start / 8) >> (start % 8)) & MASK51;
  }
  out.limb[4] = static_cast<int64_t>(load_u64(bytes + 24) >> 12);  // keeps bit 255
}

void fe_pack(unsigned char* bytes, const FieldElement51& x) {
  Wide h[5];
  FieldElement51 carried;
  for (int i = 0; i < 5; ++i) h[i] = x.limb[i];
  carry_into(carried, h);

  // One p more or less brings the carried value into 0 ... p-1.
  const int64_t l = (fe_is_overflow(carried) ? 1 : 0) - (carried.limb[4] < 0 ? 1 : 0);
  for (int i = 0; i < 5; ++i) h[i] = carried.limb[i];
  h[0] += 19 * l;
  for (int i = 0; i < 4; ++i) {
    h[i + 1] += h[i] >> 51;
    h[i] = low51(h[i]);
  }
  h[4] -= Wide(l) * (Wide(1) << 51);

  unsigned __int128 bits = 0;
  int held = 0;
  int written = 0;
  for (int i = 0; i < 5; ++i) {
    bits |= static_cast<unsigned __int128>(static_cast<uint64_t>(h[i])) << held;
    held += 51;
    for (; held >= 8; held -= 8) {
      bytes[written++] = static_cast<unsigned char>(bits);
      bits >>= 8;
    }
  }
  bytes[written] = static_cast<unsigned char>(bits);
}

#endif
