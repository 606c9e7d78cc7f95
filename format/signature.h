// The signature check of package files: the level a package's signature part verifies at
// against public key material, and the level a package needs to be installed.
//
// Signature payload (part type 9):
//   0    20  not read by the check: the signer's key id, or zeros
//   20   16  c: check value of the level-1 scheme
//   36   32  s: scalar of the level-1 scheme, little-endian
//   68   64  Ed25519 signature of the 32-byte digest; only in payloads of 132 bytes or more
//   132      rest, not read
// Level 1 passes when the first 16 bytes of signature_hash(u(s*A + h*G)) equal c, A being
// the level-1 public point and h the scalar that level1_scalar forms from the digest and c.
#pragma once

#include <cstddef>
#include <string>

#include "crypto/signature_keys.h"
#include "package/version.h"

class PartStream;

constexpr size_t SIGNATURE_LEVEL1_SIZE = 68;
constexpr size_t SIGNATURE_FULL_SIZE = 132;
constexpr size_t SIGNATURE_C_OFFSET = 20;
constexpr size_t SIGNATURE_C_SIZE = 16;
constexpr size_t SIGNATURE_S_OFFSET = 36;
constexpr size_t SIGNATURE_EDDSA_OFFSET = 68;
constexpr size_t LEVEL1_DIGEST_SIZE = 20;

// The key set the installer was configured with (INSTALLER_KEYS); lives for the process.
const SignatureKeys& built_in_signature_keys();

// The 32-byte scalar h of the level-1 scheme, from the first 20 bytes of `digest` and the
// 16-byte check value `c`: the hash, c mixed into bytes 8 to 23, clamped.
void level1_scalar(unsigned char* h, const unsigned char* digest, const unsigned char* c,
                   const SignatureKeys& keys);

// True when payload bytes 0 to 67 hold a valid level-1 signature of `digest`.
bool check_level1(const unsigned char* digest, const unsigned char* payload,
                  const SignatureKeys& keys);

// The level that `size` payload bytes (68, or 132 with the Ed25519 half) verify at for the
// 32-byte `digest`: 2, 1, or 0 for no valid signature (also for any other size).
int signature_payload_level(const unsigned char* digest, const unsigned char* payload, size_t size,
                            const SignatureKeys& keys);

// The key id a signer writes ahead of the signature proper: the first 20 bytes of the
// SHA-256 of the two public keys. It lets a tool tell a file signed with another key set
// from one changed after it was signed; the check itself never reads it.
constexpr size_t SIGNATURE_KEY_ID_SIZE = 20;
void signature_key_id(const SignatureKeys& keys, unsigned char* id);

// PartStream::verify_signature against chosen keys: on the signature part before any of its
// payload is read, finishes the running digest and consumes the first 132 payload bytes, or
// 68 when fewer remain, without hashing them. 0 without hashing, on a part under 68 bytes or
// a short source; otherwise signature_payload_level. With `key_id`, the payload's first 20
// bytes are copied there (zeros when they were not read).
int verify_signature_against(PartStream& stream, const SignatureKeys& keys,
                             unsigned char* key_id = nullptr);

// 1 or 2: the level a package of this name and version must verify at.
int required_signature_level(const std::string& name, Version version);
