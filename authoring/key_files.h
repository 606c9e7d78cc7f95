// Key sets on disk: one directory of hexadecimal text files (white space ignored):
//   eddsa.pub       32 bytes, the Ed25519 public key
//   eddsa.key       32 bytes, the Ed25519 private seed
//   curve.pub       32 bytes, u of the level-1 point A, little-endian
//   curve.key       32 bytes, the level-1 scalar a, little-endian (A = a*G, A's v even)
//   hash.constants  72 words of 8 digits: the 64 step constants, then the 8 initial words
// The installer's build reads the three public files; the private ones only the tool and
// the tests.
#pragma once

#include <string>

#include "format/signature.h"
#include "authoring/signature_signing.h"

// Each returns false with a message naming the file in `error`, and leaves the keys
// unspecified, on a missing, unreadable or malformed file, or a public key that
// check_public_keys refuses.
[[nodiscard]] bool read_public_keys(const std::string& dir, SignatureKeys& keys,
                                    std::string& error);
// Also fails when the private files do not belong to the public ones.
[[nodiscard]] bool read_signing_keys(const std::string& dir, SigningKeys& keys, std::string& error);
// Creates `dir` when missing; refuses to replace any key file already there. The private
// files are readable by their owner only.
[[nodiscard]] bool write_signing_keys(const std::string& dir, const SigningKeys& keys,
                                      std::string& error);
