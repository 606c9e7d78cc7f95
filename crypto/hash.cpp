#include "crypto/hash.h"

#include <openssl/evp.h>

#include <cstring>

#include "crypto/openssl_setup.h"

namespace {

EVP_MD_CTX* as_context(void* context) { return static_cast<EVP_MD_CTX*>(context); }

const EVP_MD* fetch(const char* name) {
  openssl_setup();
  return EVP_MD_fetch(nullptr, name, nullptr);
}

// Fetched once and kept: a legacy EVP_sha256() handed to every init is looked up among the
// providers again each time.
const EVP_MD* fetched_digest(bool sha256) {
  if (sha256) {
    static const EVP_MD* const fetched = fetch("SHA256");
    return fetched;
  }
  static const EVP_MD* const fetched = fetch("SHA1");
  return fetched;
}

}  // namespace

EvpHash::EvpHash(Algorithm algorithm, size_t digest_size)
    : algorithm_(algorithm), digest_size_(digest_size) {}

EvpHash::~EvpHash() { EVP_MD_CTX_free(as_context(context_)); }

void EvpHash::start() {
  started_ = true;
  const EVP_MD* algorithm = fetched_digest(algorithm_ == Algorithm::sha256);
  if (context_ == nullptr) context_ = EVP_MD_CTX_new();
  usable_ = context_ != nullptr && algorithm != nullptr &&
            EVP_DigestInit_ex(as_context(context_), algorithm, nullptr) == 1;
}

void EvpHash::update(const void* bytes, size_t count) {
  if (count == 0) return;
  if (!started_) start();
  if (usable_) usable_ = EVP_DigestUpdate(as_context(context_), bytes, count) == 1;
}

void EvpHash::final(unsigned char* out) {
  if (!started_) start();
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (usable_ && EVP_DigestFinal_ex(as_context(context_), digest, &length) == 1 &&
      length == digest_size_) {
    std::memcpy(out, digest, digest_size_);
  } else {
    std::memset(out, 0, digest_size_);
  }
  started_ = false;
}

SHA1::SHA1() : EvpHash(Algorithm::sha1, DIGEST_SIZE) {}

SHA256::SHA256() : EvpHash(Algorithm::sha256, DIGEST_SIZE) {}
