// Checks of public key material. A key that is not a point of prime order on its curve
// may let anyone sign: a level-1 key with u 0, p or 1/9 makes the ladder answer 0 for every
// scalar, so one fixed signature verifies for every digest, other points outside the group
// belong to no key pair at all, and an Ed25519 key of small order lets the identity
// signature verify. The build refuses such keys, and the package tool never writes or
// reads them.
#pragma once

#include <string>

#include "crypto/signature_keys.h"

// The level-1 public key: the u, 32 bytes little-endian, of a point of prime order l on
// Curve25519 (not its twist), below p, and not the base point or its negative. False with
// the reason in `problem` otherwise.
bool is_valid_curve_public_key(const unsigned char* u, std::string& problem);

// The Ed25519 public key: a canonical encoding of a point of prime order l. False with the
// reason in `problem` otherwise.
bool is_valid_eddsa_public_key(const unsigned char* key, std::string& problem);

// Both keys of a set; `problem` names the key file ("eddsa.pub: ...", "curve.pub: ...").
bool check_public_keys(const SignatureKeys& keys, std::string& problem);
