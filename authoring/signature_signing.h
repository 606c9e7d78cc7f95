// The signing side of package signatures: key generation and both signature levels, for
// the package tool and the tests. The installer itself never signs.
#pragma once

#include <cstdint>
#include <string>

#include "authoring/package_writer.h"
#include "format/signature.h"

// A whole key set: the public half the installer is built with, and the private half.
struct SigningKeys {
  SignatureKeys public_keys;
  unsigned char eddsa_seed[32];    // the Ed25519 private seed
  unsigned char curve_scalar[32];  // a, little-endian, with A = a*G and A's v even
};

// A fresh key set from OpenSSL's random generator; false when the generator or the library
// fails, leaving `keys` unspecified. Every set made is checked by signing once, and its
// public keys by check_public_keys.
[[nodiscard]] bool generate_signing_keys(SigningKeys& keys);

// Whether the public half belongs to the private half: the Ed25519 key is the seed's, and
// A = a*G with A's v even.
bool keys_match(const SigningKeys& keys);

// Writes the 68-byte level-1 payload for the first 20 bytes of `digest` (zeros at 0 to 19).
// The nonce comes from the private scalar and those bytes, so the payload depends on
// nothing else. False when HMAC or the big-number library fails.
[[nodiscard]] bool sign_level1(const SigningKeys& keys, const unsigned char* digest,
                               unsigned char* payload);

// Writes the 132-byte payload for a 32-byte SHA-256 `digest`: the level-1 half and the
// Ed25519 signature of the digest at bytes 68 to 131.
[[nodiscard]] bool sign_level2(const SigningKeys& keys, const unsigned char* digest,
                               unsigned char* payload);

// A Signer for PackageWriter at level 1 or 2. The keys are borrowed and must outlive it.
// Level 2 needs a SHA-256 digest (a digest selector before the package's header); given a
// SHA-1 digest, or when signing fails, sign() returns an empty payload, which the writer
// refuses.
class KeySigner : public Signer {
 public:
  KeySigner(const SigningKeys& keys, int level) : keys_(keys), level_(level) {}
  uint32_t payload_length() const override;
  std::string sign(const unsigned char* digest, size_t digest_size) const override;

 private:
  const SigningKeys& keys_;
  int level_;
};
