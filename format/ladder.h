// The two-scalar Montgomery ladder on Curve25519 (v^2 = u^3 + 486662 u^2 + u) that the
// level-1 signature check runs: u(s*A + h*G) in one pass over both scalars.
#pragma once

#include "format/field25519.h"

// A point in projective form, u = x / z.
struct LadderPoint {
  FieldElement x;
  FieldElement z;
};

// From sum = X + Z and difference = X - Z of a point, its double.
void ladder_double(LadderPoint& out, const FieldElement& sum, const FieldElement& difference);

// From the sums and differences of two points and the u of their difference, their sum.
void ladder_add(LadderPoint& out, const FieldElement& p_sum, const FieldElement& p_difference,
                const FieldElement& r_sum, const FieldElement& r_difference,
                const FieldElement& dx);

// Writes to `y` the 32 little-endian bytes of u(s*A + h*G), 0 for the point at infinity.
// s and h are 256-bit little-endian integers used as they are; A is the point whose u is `p`
// (all 256 bits, reduced modulo p) with the even v, G the base point (u = 9, even v).
// All four arguments are 32 bytes. The result is meaningful only when A lies in the group
// that G generates (on the curve, not its twist; of prime order l) and is not G or -G: for
// u 0, p or 1/9 a difference in the ladder has u 0 and the result is 0 for every scalar, and
// any other point outside the group gives results that belong to no key pair
// (format/key_check.h refuses all of these); with s = 0 it does not depend on `p` at all.
// Uses only the stack.
void two_scalar_ladder(unsigned char* y, const unsigned char* s, const unsigned char* h,
                       const unsigned char* p);

// Whether the field element `u` is the u of a point of the curve rather than of its twist.
bool is_on_curve(const FieldElement& u);

// k*P in projective form (z = 0 for the point at infinity) for the point P whose u is `u`,
// u not 0, by the single-scalar ladder over all 256 bits of the little-endian `k`.
void scalar_multiple(LadderPoint& out, const FieldElement& u, const unsigned char* k);
