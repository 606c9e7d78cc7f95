// The public half of a key set: what an installer is built with and checks signatures
// against.
#pragma once

#include "crypto/signature_hash.h"

struct SignatureKeys {
  unsigned char eddsa_public[32];
  unsigned char curve_public[32];  // u of the level-1 point A, little-endian
  HashConstants constants;
};
