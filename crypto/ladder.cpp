#include "crypto/ladder.h"

#include <cstdint>
#include <cstring>

namespace {

constexpr int32_t CURVE_A = 486662;
constexpr int32_t BASE_U = 9;
constexpr int32_t BASE_V_SQUARED = 39420360;  // 9^3 + 486662 * 9^2 + 9

// 2 * v(G), little-endian, v(G) being the even square root of BASE_V_SQUARED.
constexpr unsigned char TWICE_BASE_V[32] = {
    0x3b, 0x58, 0x62, 0x02, 0xbb, 0x74, 0x2c, 0xac, 0x9b, 0x3c, 0x07, 0x25, 0x03, 0x65, 0x85, 0xdb,
    0x66, 0x5d, 0x6e, 0x11, 0xa7, 0x45, 0xc2, 0x3f, 0x96, 0xf2, 0xbe, 0x8e, 0xbc, 0xcc, 0xa3, 0x3e};

// The even square root of y2, when y2 is a square: Atkin's method for p = 5 mod 8.
template <typename Field>
void even_root(Field& root, const Field& y2, bool& negate) {
  Field twice, w, i;
  fe_add(twice, y2, y2);
  fe_pow(w, twice, FE_POW_ROOT);
  fe_sqr(i, w);
  fe_mul(i, i, twice);
  i.limb[0] -= 1;
  fe_mul(root, y2, w);
  fe_mul(root, root, i);
  negate = fe_is_negative(root);
}

// v^2 = u^3 + 486662 u^2 + u, as (u^2 + 486662 u + 1) u.
template <typename Field>
void curve_rhs(Field& y2, const Field& x) {
  Field t, s;
  fe_sqr(t, x);
  fe_mul_small(s, x, CURVE_A);
  fe_add(t, t, s);
  t.limb[0] += 1;
  fe_mul(y2, t, x);
}

// a[0] = u(A + G) and a[1] = u(A - G), from the chord through A and G.
template <typename Field>
void sum_and_difference_with_base(Field* a, const Field& x) {
  Field y2, t, r, s, cross, e[2], d;
  curve_rhs(y2, x);

  bool odd = false;
  even_root(r, y2, odd);
  const int j = odd ? 1 : 0;
  // (v(A) -+ v(G))^2 = y2 + v(G)^2 -+ 2 v(G) v(A); the sign of r decides which is which.
  fe_copy(s, y2);
  s.limb[0] += BASE_V_SQUARED;
  fe_unpack(t, TWICE_BASE_V);
  fe_mul(cross, t, r);
  fe_sub(e[j], s, cross);
  fe_add(e[1 - j], s, cross);

  fe_copy(t, x);
  t.limb[0] -= BASE_U;
  fe_sqr(d, t);
  fe_pow(d, d, FE_POW_INVERT);
  for (int k = 0; k < 2; ++k) {
    fe_mul(t, e[k], d);
    fe_sub(t, t, x);
    t.limb[0] -= BASE_U + CURVE_A;
    fe_mul_small(a[k], t, 1);
  }
}

// The chain bits that tell, at every step, which of the tracked points differ by G and
// which by A; returns the bit left over above the top byte.
uint32_t chain_bytes(unsigned char* d, const unsigned char* s, const unsigned char* h) {
  uint32_t vi = 0, hi = 0, di = 0, n = 0;
  for (int i = 0; i < 32; ++i) {
    vi = (vi >> 8) ^ s[i] ^ (uint32_t(s[i]) << 1);
    hi = (hi >> 8) ^ h[i] ^ (uint32_t(h[i]) << 1);
    n = ~(vi ^ hi);
    di = (n & ((di & 0x80) >> 7)) ^ vi;
    for (int b = 0; b < 7; ++b) di ^= n & ((di & (1u << b)) << 1);
    d[i] = static_cast<unsigned char>(di);
  }
  return ((n & ((di & 0x80) << 1)) ^ vi) >> 8;
}

// From sum = X + Z and difference = X - Z of a point, its double.
template <typename Field>
void ladder_double(LadderPointOf<Field>& out, const Field& sum, const Field& difference) {
  Field a, b, c, t;
  fe_sqr(a, sum);
  fe_sqr(b, difference);
  fe_mul(out.x, a, b);
  fe_sub(c, a, b);
  fe_mul_small(t, c, 121665);
  fe_add(t, t, a);
  fe_mul(out.z, c, t);
}

// From the sums and differences of two points and the u of their difference, their sum.
template <typename Field>
void ladder_add(LadderPointOf<Field>& out, const Field& p_sum, const Field& p_difference,
                const Field& r_sum, const Field& r_difference, const Field& dx) {
  Field m, n, t;
  fe_mul(m, p_difference, r_sum);
  fe_mul(n, p_sum, r_difference);
  fe_add(t, m, n);
  fe_sqr(out.x, t);
  fe_sub(t, m, n);
  fe_sqr(t, t);
  fe_mul(out.z, t, dx);
}

}  // namespace

template <typename Field>
void two_scalar_ladder_in(unsigned char* y, const unsigned char* s, const unsigned char* h,
                          const unsigned char* p) {
  Field base[2];  // u(G), u(A)
  fe_set(base[0], BASE_U);
  fe_unpack(base[1], p);
  Field with_base[2];
  sum_and_difference_with_base(with_base, base[1]);

  unsigned char chain[32];
  uint32_t di = chain_bytes(chain, s, h);
  LadderPointOf<Field> q[3];
  fe_set(q[0].x, 1);
  fe_set(q[0].z, 0);
  fe_copy(q[1].x, base[di]);
  fe_set(q[1].z, 1);
  fe_copy(q[2].x, with_base[0]);
  fe_set(q[2].z, 1);

  uint32_t vi = 0, hi = 0;
  for (int i = 31; i >= 0; --i) {
    vi = (vi << 8) | s[i];
    hi = (hi << 8) | h[i];
    di = (di << 8) | chain[i];
    for (int j = 7; j >= 0; --j) {
      Field sum[3], difference[3];
      for (int k = 0; k < 3; ++k) {
        fe_add(sum[k], q[k].x, q[k].z);
        fe_sub(difference[k], q[k].x, q[k].z);
      }
      int k = (((vi ^ (vi >> 1)) >> j) & 1) + (((hi ^ (hi >> 1)) >> j) & 1);
      ladder_double(q[0], sum[k], difference[k]);
      k = ((di >> j) & 2) ^ (((di >> j) & 1) << 1);
      ladder_add(q[1], sum[1], difference[1], sum[k], difference[k], base[(di >> j) & 1]);
      ladder_add(q[2], sum[2], difference[2], sum[0], difference[0],
                 with_base[(((vi ^ hi) >> j) & 2) >> 1]);
    }
  }
  const int k = (vi & 1) + (hi & 1);
  Field inverse, u;
  fe_pow(inverse, q[k].z, FE_POW_INVERT);
  fe_mul(u, q[k].x, inverse);
  fe_pack(y, u);
}

template void two_scalar_ladder_in<FieldElement>(unsigned char*, const unsigned char*,
                                                 const unsigned char*, const unsigned char*);
#if FIELD51_AVAILABLE
template void two_scalar_ladder_in<FieldElement51>(unsigned char*, const unsigned char*,
                                                   const unsigned char*, const unsigned char*);
#endif

void two_scalar_ladder(unsigned char* y, const unsigned char* s, const unsigned char* h,
                       const unsigned char* p) {
  two_scalar_ladder_in<SignatureField>(y, s, h, p);
}

bool is_on_curve(const FieldElement& u) {
  FieldElement y2, root, square;
  curve_rhs(y2, u);
  bool odd = false;
  even_root(root, y2, odd);
  fe_sqr(square, root);
  unsigned char expected[32], got[32];
  fe_pack(expected, y2);
  fe_pack(got, square);
  return std::memcmp(expected, got, sizeof got) == 0;
}

void scalar_multiple(LadderPoint& out, const FieldElement& u, const unsigned char* k) {
  LadderPoint r[2];  // r[1] - r[0] = P throughout
  fe_set(r[0].x, 1);
  fe_set(r[0].z, 0);
  fe_copy(r[1].x, u);
  fe_set(r[1].z, 1);
  for (int bit = 255; bit >= 0; --bit) {
    const int b = (k[bit / 8] >> (bit % 8)) & 1;
    FieldElement sum[2], difference[2];
    for (int i = 0; i < 2; ++i) {
      fe_add(sum[i], r[i].x, r[i].z);
      fe_sub(difference[i], r[i].x, r[i].z);
    }
    ladder_add(r[1 - b], sum[0], difference[0], sum[1], difference[1], u);
    ladder_double(r[b], sum[b], difference[b]);
  }
  out = r[0];
}
