#include "format/ladder.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <array>
#include <memory>
#include <string>
#include <vector>

#include "tools/hex_text.h"

namespace {

using Bytes = std::array<unsigned char, 32>;

Bytes bytes_of(const char* hex) {
  std::vector<unsigned char> parsed;
  EXPECT_TRUE(parse_hex(hex, parsed));
  Bytes bytes{};
  EXPECT_EQ(parsed.size(), bytes.size());
  std::copy(parsed.begin(), parsed.begin() + std::min(parsed.size(), bytes.size()), bytes.begin());
  return bytes;
}

std::string hex(const Bytes& bytes) { return to_hex(bytes.data(), bytes.size()); }

Bytes random_bytes() {
  Bytes bytes{};
  EXPECT_EQ(RAND_bytes(bytes.data(), bytes.size()), 1);
  return bytes;
}

Bytes clamped(Bytes scalar) {
  scalar[0] &= 0xF8;
  scalar[31] = (scalar[31] & 0x7F) | 0x40;
  return scalar;
}

const Bytes ZERO{};
const Bytes NINE = {9};

// OpenSSL's X25519: u(scalar * P) with the scalar clamped.
Bytes x25519(const Bytes& scalar, const Bytes& u) {
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> own(
      EVP_PKEY_new_raw_private_key(EVP_PKEY_X25519, nullptr, scalar.data(), 32), EVP_PKEY_free);
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> peer(
      EVP_PKEY_new_raw_public_key(EVP_PKEY_X25519, nullptr, u.data(), 32), EVP_PKEY_free);
  std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> context(
      EVP_PKEY_CTX_new(own.get(), nullptr), EVP_PKEY_CTX_free);
  Bytes out{};
  size_t size = out.size();
  EXPECT_TRUE(own && peer && context && EVP_PKEY_derive_init(context.get()) == 1 &&
              EVP_PKEY_derive_set_peer(context.get(), peer.get()) == 1 &&
              EVP_PKEY_derive(context.get(), out.data(), &size) == 1);
  return out;
}

Bytes ladder(const Bytes& s, const Bytes& h, const Bytes& p) {
  Bytes y{};
  two_scalar_ladder(y.data(), s.data(), h.data(), p.data());
  return y;
}

TEST(TwoScalarLadder, OneScalarZeroMatchesRfc7748) {
  const Bytes alice = bytes_of("77076d0a7318a57d3c16c17251b26645df4c2f87ebc0992ab177fba51db92c2a");
  const Bytes alice_public =
      bytes_of("8520f0098930a754748b7ddcb43ef75a0dbf3a0d26381af4eba4a98eaa9b4e6a");
  const Bytes bob = bytes_of("5dab087e624a8a4b79e17f8b83800ee66f3bb1292618b6fd1c2f8b27ff88e0eb");
  const Bytes bob_public =
      bytes_of("de9edb7d7b7dc1b4d35b61c2ece435373f8343c85b78674dadfc7e146f882b4f");
  const std::string shared = "4a5d9d5ba4ce2de1728e3bf480350f25e07e21c947d19e3376f09b3c1e161742";

  // h * G: with s = 0 the point P plays no part, even G itself.
  EXPECT_EQ(hex(ladder(ZERO, clamped(alice), bob_public)), hex(alice_public));
  EXPECT_EQ(hex(ladder(ZERO, clamped(bob), NINE)), hex(bob_public));
  EXPECT_EQ(hex(ladder(ZERO, clamped(NINE), alice_public)),
            "422c8e7a6227d7bca1350b3e2bb7279f7897b87bb6854b783c60e80311ae3079");
  // s * A.
  EXPECT_EQ(hex(ladder(clamped(alice), ZERO, bob_public)), shared);
  EXPECT_EQ(hex(ladder(clamped(bob), ZERO, alice_public)), shared);
  EXPECT_EQ(
      hex(ladder(
          clamped(bytes_of("a546e36bf0527c9d3b16154b82465edd62144c0ac1fc5a18506a2244ba449ac4")),
          ZERO, bytes_of("e6db6867583030db3594c1a424b15f7c726624ec26b3353b10a903a6d0ab1c4c"))),
      "c3da55379de9c6908e94ea4df28d084f32eccf03491c71f754b4075577a28552");
}

TEST(TwoScalarLadder, OneScalarZeroMatchesOpenSslOnRandomScalars) {
  for (int round = 0; round < 32; ++round) {
    const Bytes point = x25519(random_bytes(), NINE);
    const Bytes scalar = clamped(random_bytes());
    EXPECT_EQ(hex(ladder(scalar, ZERO, point)), hex(x25519(scalar, point)));
    EXPECT_EQ(hex(ladder(ZERO, scalar, point)), hex(x25519(scalar, NINE)));
  }
}

}  // namespace
