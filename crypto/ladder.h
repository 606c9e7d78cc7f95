// The two-scalar Montgomery ladder on Curve25519 (v^2 = u^3 + 486662 u^2 + u) that the
// level-1 signature check runs: u(s*A + h*G) in one pass over both scalars.
#pragma once

#include "crypto/field25519.h"
#include "crypto/field25519_51.h"

// The field the signature check runs in: the ten-limb form, which suits the 32-bit target,
// unless the build picks the 51-bit one for a 64-bit host.
#if defined(INSTALLER_FIELD51)
#if !FIELD51_AVAILABLE
#error "INSTALLER_FIELD51 needs a compiler with 128-bit integers"
#endif
using SignatureField = FieldElement51;
#else
using SignatureField = FieldElement;
#endif

// A point in projective form, u = x / z.
template <typename Field>
struct LadderPointOf {
  Field x;
  Field z;
};
using LadderPoint = LadderPointOf<FieldElement>;

// Writes to `y` the 32 little-endian bytes of u(s*A + h*G), 0 for the point at infinity.
// s and h are 256-bit little-endian integers used as they are; A is the point whose u is `p`
// (all 256 bits, reduced modulo p) with the even v, G the base point (u = 9, even v).
// All four arguments are 32 bytes. The result is meaningful only when A lies in the group
// that G generates (on the curve, not its twist; of prime order l) and is not G or -G: for
// u 0, p or 1/9 a difference in the ladder has u 0 and the result is 0 for every scalar, and
// any other point outside the group gives results that belong to no key pair
// (crypto/key_check.h refuses all of these); with s = 0 it does not depend on `p` at all.
// Uses only the stack.
void two_scalar_ladder(unsigned char* y, const unsigned char* s, const unsigned char* h,
                       const unsigned char* p);
// The same in a field form of the caller's choice: FieldElement, or FieldElement51 where
// FIELD51_AVAILABLE.
template <typename Field>
void two_scalar_ladder_in(unsigned char* y, const unsigned char* s, const unsigned char* h,
                          const unsigned char* p);

// Whether the field element `u` is the u of a point of the curve rather than of its twist.
bool is_on_curve(const FieldElement& u);

// k*P in projective form (z = 0 for the point at infinity) for the point P whose u is `u`,
// u not 0, by the single-scalar ladder over all 256 bits of the little-endian `k`.
void scalar_multiple(LadderPoint& out, const FieldElement& u, const unsigned char* k);
