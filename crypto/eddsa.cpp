#include "crypto/eddsa.h"

#include <openssl/evp.h>

#include <memory>

#include "crypto/openssl_setup.h"

namespace eddsa {
namespace {

struct KeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct ContextFree {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;
using Context = std::unique_ptr<EVP_MD_CTX, ContextFree>;

Key private_key(asn1::blob seed) {
  if (seed.size() != KEY_SIZE) return nullptr;
  return Key(EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, seed.first, KEY_SIZE));
}

}  // namespace

bool verify(asn1::blob public_key, asn1::blob message, asn1::blob signature) {
  openssl_setup();
  if (public_key.size() != KEY_SIZE || signature.size() != SIGNATURE_SIZE) return false;
  Key key(EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, public_key.first, KEY_SIZE));
  Context context(EVP_MD_CTX_new());
  if (!key || !context) return false;
  if (EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, key.get()) != 1) {
    return false;
  }
  return EVP_DigestVerify(context.get(), signature.first, SIGNATURE_SIZE, message.first,
                          message.size()) == 1;
}

bool public_key(asn1::blob seed, unsigned char* public_key) {
  openssl_setup();
  Key key = private_key(seed);
  size_t size = KEY_SIZE;
  return key && EVP_PKEY_get_raw_public_key(key.get(), public_key, &size) == 1 && size == KEY_SIZE;
}

bool sign(asn1::blob seed, asn1::blob message, unsigned char* signature) {
  openssl_setup();
  Key key = private_key(seed);
  Context context(EVP_MD_CTX_new());
  if (!key || !context) return false;
  if (EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, key.get()) != 1) return false;
  size_t size = SIGNATURE_SIZE;
  return EVP_DigestSign(context.get(), signature, &size, message.first, message.size()) == 1 &&
         size == SIGNATURE_SIZE;
}

}  // namespace eddsa
