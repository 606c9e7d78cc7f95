// Times one level-1 signature check against one X25519 scalar multiplication of OpenSSL,
// in the same run: `bench_signature [rounds]`. Not a test; run it by hand.
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "format/signature.h"
#include "authoring/signature_signing.h"

namespace {

using Clock = std::chrono::steady_clock;

template <typename Work>
double microseconds_per_round(int rounds, Work work) {
  const Clock::time_point start = Clock::now();
  for (int i = 0; i < rounds; ++i) work();
  return std::chrono::duration<double, std::micro>(Clock::now() - start).count() / rounds;
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 2000;
  if (rounds <= 0) {
    std::fprintf(stderr, "usage: bench_signature [rounds]\n");
    return 2;
  }
  SigningKeys keys;
  unsigned char digest[32];
  unsigned char payload[SIGNATURE_FULL_SIZE];
  if (!generate_signing_keys(keys) || RAND_bytes(digest, sizeof digest) != 1 ||
      !sign_level1(keys, digest, payload)) {
    std::fprintf(stderr, "cannot make keys or a signature\n");
    return 1;
  }

  unsigned char scalar[32], peer_scalar[32];
  RAND_bytes(scalar, sizeof scalar);
  RAND_bytes(peer_scalar, sizeof peer_scalar);
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> own(
      EVP_PKEY_new_raw_private_key(EVP_PKEY_X25519, nullptr, scalar, 32), EVP_PKEY_free);
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> peer(
      EVP_PKEY_new_raw_private_key(EVP_PKEY_X25519, nullptr, peer_scalar, 32), EVP_PKEY_free);
  std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> context(
      EVP_PKEY_CTX_new(own.get(), nullptr), EVP_PKEY_CTX_free);
  if (!own || !peer || !context || EVP_PKEY_derive_init(context.get()) != 1 ||
      EVP_PKEY_derive_set_peer(context.get(), peer.get()) != 1) {
    std::fprintf(stderr, "cannot set up X25519\n");
    return 1;
  }

  bool all_passed = true;
  bool all_derived = true;
  unsigned char shared[32];
  // Alternate the two so that both see the same machine state.
  double check = 0, x25519 = 0;
  for (int pass = 0; pass < 4; ++pass) {
    check += microseconds_per_round(
        rounds / 4 + 1, [&] { all_passed &= check_level1(digest, payload, keys.public_keys); });
    x25519 += microseconds_per_round(rounds / 4 + 1, [&] {
      size_t size = sizeof shared;
      all_derived &= EVP_PKEY_derive(context.get(), shared, &size) == 1;
    });
  }
  check /= 4;
  x25519 /= 4;
  if (!all_passed || !all_derived) {
    std::fprintf(stderr, "a check or a derivation failed\n");
    return 1;
  }
  std::printf("level-1 check:             %9.1f us\n", check);
  std::printf("OpenSSL X25519 (derive):   %9.1f us\n", x25519);
  std::printf("ratio check / X25519:      %9.2f\n", check / x25519);
  return 0;
}
