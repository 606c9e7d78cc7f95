// Ed25519 (RFC 8032) signatures over OpenSSL's libcrypto: the level-2 check of package
// signatures, and the signing side used by the package tool and the tests.
#pragma once

#include <cstddef>
#include <string>

namespace asn1 {

// A borrowed byte range: its first byte and the byte after its last.
struct blob {
  const unsigned char* first = nullptr;
  const unsigned char* end = nullptr;

  blob() = default;
  blob(const unsigned char* begin, size_t size) : first(begin), end(begin + size) {}
  size_t size() const { return static_cast<size_t>(end - first); }
};

}  // namespace asn1

namespace eddsa {

constexpr size_t KEY_SIZE = 32;
constexpr size_t SIGNATURE_SIZE = 64;

// True only when `signature` (64 bytes) is a valid signature of `message` under
// `public_key` (32 bytes). Wrong sizes, a malformed key and any library failure give
// false. The ranges are only read during the call.
bool verify(asn1::blob public_key, asn1::blob message, asn1::blob signature);

// Derives the 32-byte public key of a 32-byte private seed into `public_key`. False on a
// wrong size or a library failure, leaving `public_key` unspecified.
[[nodiscard]] bool public_key(asn1::blob seed, unsigned char* public_key);

// Signs `message` with the private seed, writing 64 bytes to `signature`. False on a
// wrong seed size or a library failure.
[[nodiscard]] bool sign(asn1::blob seed, asn1::blob message, unsigned char* signature);

}  // namespace eddsa
