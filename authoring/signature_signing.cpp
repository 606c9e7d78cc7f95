#include "authoring/signature_signing.h"

#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <cstring>
#include <memory>

#include "crypto/eddsa.h"
#include "crypto/key_check.h"
#include "crypto/ladder.h"
#include "crypto/little_endian.h"
#include "format/part_stream.h"

namespace {

// l, the order of the base point G: 2^252 + 27742317777372353535851937790883648493.
constexpr const char* GROUP_ORDER_HEX =
    "1000000000000000000000000000000014def9dea2f79cd65812631a5cf5d3ed";
constexpr size_t SCALAR_SIZE = 32;
const unsigned char NINE[SCALAR_SIZE] = {9};
const unsigned char ZERO[SCALAR_SIZE] = {};

struct BnFree {
  void operator()(BIGNUM* number) const { BN_clear_free(number); }
};
struct BnCtxFree {
  void operator()(BN_CTX* context) const { BN_CTX_free(context); }
};
using Number = std::unique_ptr<BIGNUM, BnFree>;

// Arithmetic modulo l on 32-byte little-endian scalars.
class ScalarField {
 public:
  ScalarField() {
    BIGNUM* order = nullptr;
    if (BN_hex2bn(&order, GROUP_ORDER_HEX) != 0) order_.reset(order);
  }
  bool usable() const { return order_ && context_; }

  Number number(const unsigned char* bytes) const {
    Number n(BN_lebin2bn(bytes, SCALAR_SIZE, nullptr));
    if (n && BN_nnmod(n.get(), n.get(), order_.get(), context_.get()) != 1) n.reset();
    return n;
  }
  // A uniform scalar in [1, l), from 64 random bytes.
  Number random_nonzero() const {
    unsigned char bytes[2 * SCALAR_SIZE];
    for (;;) {
      if (RAND_bytes(bytes, sizeof bytes) != 1) return nullptr;
      Number n(BN_lebin2bn(bytes, sizeof bytes, nullptr));
      if (!n || BN_nnmod(n.get(), n.get(), order_.get(), context_.get()) != 1) return nullptr;
      if (!BN_is_zero(n.get())) return n;
    }
  }
  // The nonce of a level-1 signature: HMAC-SHA-512 keyed with the private scalar, over a
  // label, the signed 20 bytes and a counter, reduced modulo l; a zero takes the next
  // counter. Every message gets its own k, always the same one, so signing needs no random
  // source and a rebuild signs to the same bytes.
  Number nonce(const unsigned char* scalar, const unsigned char* digest) const {
    static const char LABEL[] = "velmora level-1 nonce";
    constexpr size_t LABEL_SIZE = sizeof LABEL - 1;
    unsigned char message[LABEL_SIZE + LEVEL1_DIGEST_SIZE + 1];
    std::memcpy(message, LABEL, LABEL_SIZE);
    std::memcpy(message + LABEL_SIZE, digest, LEVEL1_DIGEST_SIZE);
    for (unsigned counter = 0; counter < 256; ++counter) {
      message[sizeof message - 1] = static_cast<unsigned char>(counter);
      unsigned char mac[2 * SCALAR_SIZE];
      unsigned int length = 0;
      const bool made = HMAC(EVP_sha512(), scalar, int(SCALAR_SIZE), message, sizeof message, mac,
                             &length) != nullptr &&
                        length == sizeof mac;
      Number n(made ? BN_lebin2bn(mac, sizeof mac, nullptr) : nullptr);
      OPENSSL_cleanse(mac, sizeof mac);
      if (!n || BN_nnmod(n.get(), n.get(), order_.get(), context_.get()) != 1) return nullptr;
      if (!BN_is_zero(n.get())) return n;
    }
    return nullptr;
  }
  bool store(const BIGNUM* n, unsigned char* bytes) const {
    return BN_bn2lebinpad(n, bytes, SCALAR_SIZE) == int(SCALAR_SIZE);
  }
  // (k - h) / a modulo l.
  Number solve(const BIGNUM* k, const BIGNUM* h, const BIGNUM* a) const {
    Number difference(BN_new()), inverse(BN_new()), s(BN_new());
    if (!difference || !inverse || !s ||
        BN_mod_sub(difference.get(), k, h, order_.get(), context_.get()) != 1 ||
        BN_mod_inverse(inverse.get(), a, order_.get(), context_.get()) == nullptr ||
        BN_mod_mul(s.get(), difference.get(), inverse.get(), order_.get(), context_.get()) != 1) {
      return nullptr;
    }
    return s;
  }
  Number negate(const BIGNUM* a) const {
    Number negated(BN_new());
    if (!negated || BN_sub(negated.get(), order_.get(), a) != 1) return nullptr;
    return negated;
  }

 private:
  Number order_;
  std::unique_ptr<BN_CTX, BnCtxFree> context_{BN_CTX_new()};
};

// u(a*G); the point argument of the ladder does not matter when s is 0.
void base_multiple(unsigned char* u, const unsigned char* a) {
  two_scalar_ladder(u, ZERO, a, NINE);
}

// u(1*A + a*G) is 0 exactly when A = -a*G, that is when a*G has the odd v.
bool has_odd_v(const unsigned char* a, const unsigned char* a_u) {
  const unsigned char one[SCALAR_SIZE] = {1};
  unsigned char sum[SCALAR_SIZE];
  two_scalar_ladder(sum, one, a, a_u);
  return std::memcmp(sum, ZERO, SCALAR_SIZE) == 0;
}

bool generate_curve_key(const ScalarField& field, SigningKeys& keys) {
  for (;;) {
    Number a = field.random_nonzero();
    if (!a || !field.store(a.get(), keys.curve_scalar)) return false;
    base_multiple(keys.public_keys.curve_public, keys.curve_scalar);
    // a = +-1 would make A = G, where the check's chord through A and G is undefined.
    if (std::memcmp(keys.public_keys.curve_public, NINE, SCALAR_SIZE) == 0) continue;
    if (!has_odd_v(keys.curve_scalar, keys.public_keys.curve_public)) return true;
    Number negated = field.negate(a.get());
    return negated && field.store(negated.get(), keys.curve_scalar);
  }
}

bool check_by_signing(const SigningKeys& keys) {
  unsigned char digest[DIGEST_BUFFER_SIZE];
  unsigned char payload[SIGNATURE_FULL_SIZE];
  return RAND_bytes(digest, sizeof digest) == 1 && sign_level2(keys, digest, payload) &&
         signature_payload_level(digest, payload, SIGNATURE_FULL_SIZE, keys.public_keys) == 2 &&
         check_level1(digest, payload, keys.public_keys);
}

}  // namespace

bool generate_signing_keys(SigningKeys& keys) {
  ScalarField field;
  if (!field.usable() || RAND_bytes(keys.eddsa_seed, sizeof keys.eddsa_seed) != 1 ||
      !eddsa::public_key(asn1::blob(keys.eddsa_seed, sizeof keys.eddsa_seed),
                         keys.public_keys.eddsa_public) ||
      !generate_curve_key(field, keys)) {
    return false;
  }
  unsigned char words[4 * 72];
  if (RAND_bytes(words, sizeof words) != 1) return false;
  for (int i = 0; i < 64; ++i) keys.public_keys.constants.k[i] = load_u32(words + 4 * i);
  for (int i = 0; i < 8; ++i) keys.public_keys.constants.initial[i] = load_u32(words + 256 + 4 * i);
  std::string problem;
  return check_public_keys(keys.public_keys, problem) && check_by_signing(keys);
}

bool keys_match(const SigningKeys& keys) {
  unsigned char derived[SCALAR_SIZE];
  if (!eddsa::public_key(asn1::blob(keys.eddsa_seed, sizeof keys.eddsa_seed), derived) ||
      std::memcmp(derived, keys.public_keys.eddsa_public, sizeof derived) != 0) {
    return false;
  }
  base_multiple(derived, keys.curve_scalar);
  return std::memcmp(derived, keys.public_keys.curve_public, sizeof derived) == 0 &&
         !has_odd_v(keys.curve_scalar, derived);
}

bool sign_level1(const SigningKeys& keys, const unsigned char* digest, unsigned char* payload) {
  ScalarField field;
  if (!field.usable()) return false;
  Number k = field.nonce(keys.curve_scalar, digest);
  unsigned char k_bytes[SCALAR_SIZE];
  if (!k || !field.store(k.get(), k_bytes)) return false;

  unsigned char y[SCALAR_SIZE];
  base_multiple(y, k_bytes);
  OPENSSL_cleanse(k_bytes, sizeof k_bytes);
  unsigned char* c = payload + SIGNATURE_C_OFFSET;
  unsigned char hashed[SIGNATURE_HASH_SIZE];
  signature_hash(y, sizeof y, hashed, keys.public_keys.constants);
  signature_key_id(keys.public_keys, payload);
  std::memcpy(c, hashed, SIGNATURE_C_SIZE);

  // s*A + h*G = s*a*G + h*G = k*G, so the check meets Y again.
  unsigned char h_bytes[SCALAR_SIZE];
  level1_scalar(h_bytes, digest, c, keys.public_keys);
  Number h = field.number(h_bytes);
  Number a = field.number(keys.curve_scalar);
  if (!h || !a) return false;
  Number s = field.solve(k.get(), h.get(), a.get());
  return s && field.store(s.get(), payload + SIGNATURE_S_OFFSET);
}

bool sign_level2(const SigningKeys& keys, const unsigned char* digest, unsigned char* payload) {
  return sign_level1(keys, digest, payload) &&
         eddsa::sign(asn1::blob(keys.eddsa_seed, sizeof keys.eddsa_seed),
                     asn1::blob(digest, DIGEST_BUFFER_SIZE), payload + SIGNATURE_EDDSA_OFFSET);
}

uint32_t KeySigner::payload_length() const {
  return level_ == 2 ? SIGNATURE_FULL_SIZE : SIGNATURE_LEVEL1_SIZE;
}

std::string KeySigner::sign(const unsigned char* digest, size_t digest_size) const {
  unsigned char padded[DIGEST_BUFFER_SIZE] = {};
  std::memcpy(padded, digest, digest_size < sizeof padded ? digest_size : sizeof padded);
  unsigned char payload[SIGNATURE_FULL_SIZE];
  bool signed_ok = false;
  if (level_ == 2) {
    signed_ok = digest_size == DIGEST_BUFFER_SIZE && sign_level2(keys_, padded, payload);
  } else {
    signed_ok = sign_level1(keys_, padded, payload);
  }
  if (!signed_ok) return {};
  return std::string(payload, payload + payload_length());
}
