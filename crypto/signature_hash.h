// The hash of the level-1 signature scheme: SHA-256 (FIPS 180-4) with its 64 step
// constants and 8 initial words replaced by those of the key material.
#pragma once

#include <cstddef>
#include <cstdint>

struct HashConstants {
  uint32_t k[64];       // in place of SHA-256's K
  uint32_t initial[8];  // in place of SHA-256's H(0)
};

constexpr size_t SIGNATURE_HASH_SIZE = 32;

// Writes the 32-byte digest of `size` bytes at `bytes` to `out` (which may overlap the
// input). Any length works; the signature check uses 20 and 32.
void signature_hash(const unsigned char* bytes, size_t size, unsigned char* out,
                    const HashConstants& constants);
