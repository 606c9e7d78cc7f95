// The running digests of package files: a small Hash interface with SHA-1 and SHA-256
// behind it, computed by OpenSSL's libcrypto.
#pragma once

#include <cstddef>
#include <cstdint>

class Hash {
 public:
  virtual ~Hash() = default;
  virtual void update(const void* bytes, size_t count) = 0;
  // Writes digest_size() bytes: the digest of everything fed since creation or the last
  // final, and starts afresh.
  virtual void final(unsigned char* out) = 0;
  virtual size_t block_size() const { return 64; }
  virtual size_t digest_size() const = 0;
};

// Shared by SHA1 and SHA256. libcrypto is first touched by the first update or final, so a
// stream that never hashes (a database image being read) costs nothing, and each digest is
// fetched from it once per process. When libcrypto cannot give a context (out of memory),
// updates are dropped and final writes zeros, a digest that no signature matches.
class EvpHash : public Hash {
 public:
  ~EvpHash() override;
  EvpHash(const EvpHash&) = delete;
  EvpHash& operator=(const EvpHash&) = delete;

  void update(const void* bytes, size_t count) override;
  void final(unsigned char* out) override;
  size_t digest_size() const override { return digest_size_; }

 protected:
  enum class Algorithm { sha1, sha256 };
  EvpHash(Algorithm algorithm, size_t digest_size);

 private:
  void start();

  Algorithm algorithm_;
  size_t digest_size_;
  void* context_ = nullptr;  // EVP_MD_CTX, kept opaque to spare users the OpenSSL headers
  bool started_ = false;     // the context holds the digest being computed
  bool usable_ = false;
};

class SHA1 : public EvpHash {
 public:
  static constexpr size_t DIGEST_SIZE = 20;
  SHA1();
};

class SHA256 : public EvpHash {
 public:
  static constexpr size_t DIGEST_SIZE = 32;
  SHA256();
};
