#include "crypto/hash.h"

#include <openssl/evp.h>

#include <cstring>

#include "crypto/openssl_setup.h"

namespace {

EVP_MD_CTX* as_context(void* context) { return static_cast<EVP_MD_CTX*>(context); }
const EVP_MD* as_algorithm(const void* algorithm) { return static_cast<const EVP_MD*>(algorithm); }

}  // namespace

EvpHash::EvpHash(const void* algorithm, size_t digest_size)
    : algorithm_(algorithm),
      digest_size_(digest_size),
      context_((openssl_setup(), EVP_MD_CTX_new())) {
  restart();
}

EvpHash::~EvpHash() { EVP_MD_CTX_free(as_context(context_)); }

void EvpHash::restart() {
  usable_ = context_ != nullptr && algorithm_ != nullptr &&
            EVP_DigestInit_ex(as_context(context_), as_algorithm(algorithm_), nullptr) == 1;
}

void EvpHash::update(const void* bytes, size_t count) {
  if (!usable_ || count == 0) return;
  usable_ = EVP_DigestUpdate(as_context(context_), bytes, count) == 1;
}

void EvpHash::final(unsigned char* out) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (usable_ && EVP_DigestFinal_ex(as_context(context_), digest, &length) == 1 &&
      length == digest_size_) {
    std::memcpy(out, digest, digest_size_);
  } else {
    std::memset(out, 0, digest_size_);
  }
  restart();
}

SHA1::SHA1() : EvpHash((openssl_setup(), EVP_sha1()), DIGEST_SIZE) {}

SHA256::SHA256() : EvpHash((openssl_setup(), EVP_sha256()), DIGEST_SIZE) {}
