#include "crypto/key_check.h"

#include <cstring>

#include "crypto/field25519.h"
#include "crypto/ladder.h"

namespace {

constexpr size_t KEY_SIZE = 32;
// l, the prime order of the base point, little-endian.
constexpr unsigned char GROUP_ORDER[KEY_SIZE] = {
    0xed, 0xd3, 0xf5, 0x5c, 0x1a, 0x63, 0x12, 0x58, 0xd6, 0x9c, 0xf7, 0xa2, 0xde, 0xf9, 0xde, 0x14,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10};
// p = 2^255 - 19, little-endian.
constexpr unsigned char FIELD_PRIME[KEY_SIZE] = {
    0xed, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
    0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x7f};

// Whether the 256-bit little-endian number is below p.
bool below_prime(const unsigned char* bytes) {
  for (int i = KEY_SIZE - 1; i >= 0; --i) {
    if (bytes[i] != FIELD_PRIME[i]) return bytes[i] < FIELD_PRIME[i];
  }
  return false;
}

bool equals_small(const FieldElement& x, unsigned char value) {
  unsigned char packed[KEY_SIZE], expected[KEY_SIZE] = {value};
  fe_pack(packed, x);
  return std::memcmp(packed, expected, KEY_SIZE) == 0;
}

// For a u already known to be below p and not 0.
bool has_prime_order(const FieldElement& u, std::string& problem) {
  if (!is_on_curve(u)) {
    problem = "not a point of the curve";
    return false;
  }
  const unsigned char cofactor[KEY_SIZE] = {8};
  LadderPoint multiple;
  scalar_multiple(multiple, u, cofactor);
  if (equals_small(multiple.z, 0)) {
    problem = "a point of small order";
    return false;
  }
  scalar_multiple(multiple, u, GROUP_ORDER);
  if (!equals_small(multiple.z, 0)) {
    problem = "not a point of prime order";
    return false;
  }
  return true;
}

}  // namespace

bool is_valid_curve_public_key(const unsigned char* u, std::string& problem) {
  if (!below_prime(u)) {
    problem = "u is not below 2^255 - 19";
    return false;
  }
  FieldElement x;
  fe_unpack(x, u);
  if (equals_small(x, 0)) {
    problem = "u is 0, a point of order 2";
    return false;
  }
  if (equals_small(x, 9)) {
    problem = "the base point itself";
    return false;
  }
  return has_prime_order(x, problem);
}

bool is_valid_eddsa_public_key(const unsigned char* key, std::string& problem) {
  unsigned char y_bytes[KEY_SIZE];
  std::memcpy(y_bytes, key, KEY_SIZE);
  y_bytes[KEY_SIZE - 1] &= 0x7F;  // the top bit is the sign of x
  if (!below_prime(y_bytes)) {
    problem = "y is not below 2^255 - 19";
    return false;
  }
  FieldElement y, one, numerator, denominator, u;
  fe_unpack(y, y_bytes);
  fe_set(one, 1);
  fe_add(numerator, one, y);
  fe_mul_small(numerator, numerator, 1);
  fe_sub(denominator, one, y);
  fe_mul_small(denominator, denominator, 1);
  // y = 1 is the neutral point, y = -1 the point of order 2.
  if (equals_small(denominator, 0) || equals_small(numerator, 0)) {
    problem = "a point of small order";
    return false;
  }
  // The Montgomery form of the point has u = (1 + y) / (1 - y), and the same order.
  fe_pow(u, denominator, FE_POW_INVERT);
  fe_mul(u, u, numerator);
  return has_prime_order(u, problem);
}

bool check_public_keys(const SignatureKeys& keys, std::string& problem) {
  std::string why;
  if (!is_valid_eddsa_public_key(keys.eddsa_public, why)) {
    problem = "eddsa.pub: " + why;
    return false;
  }
  if (!is_valid_curve_public_key(keys.curve_public, why)) {
    problem = "curve.pub: " + why;
    return false;
  }
  return true;
}
