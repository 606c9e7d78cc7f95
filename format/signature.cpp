#include "format/signature.h"

#include <cstring>

#include "crypto/eddsa.h"
#include "crypto/hash.h"
#include "crypto/ladder.h"
#include "format/part_stream.h"

void level1_scalar(unsigned char* h, const unsigned char* digest, const unsigned char* c,
                   const SignatureKeys& keys) {
  signature_hash(digest, LEVEL1_DIGEST_SIZE, h, keys.constants);
  for (size_t i = 0; i < SIGNATURE_C_SIZE; ++i) h[8 + i] ^= c[i];
  h[0] &= 0xF8;
  h[31] = (h[31] & 0x7F) | 0x40;
}

bool check_level1(const unsigned char* digest, const unsigned char* payload,
                  const SignatureKeys& keys) {
  const unsigned char* c = payload + SIGNATURE_C_OFFSET;
  unsigned char h[SIGNATURE_HASH_SIZE];
  level1_scalar(h, digest, c, keys);
  unsigned char y[SIGNATURE_HASH_SIZE];
  two_scalar_ladder(y, payload + SIGNATURE_S_OFFSET, h, keys.curve_public);
  signature_hash(y, sizeof y, y, keys.constants);
  return std::memcmp(y, c, SIGNATURE_C_SIZE) == 0;
}

int signature_payload_level(const unsigned char* digest, const unsigned char* payload, size_t size,
                            const SignatureKeys& keys) {
  if (size != SIGNATURE_LEVEL1_SIZE && size != SIGNATURE_FULL_SIZE) return 0;
  if (size == SIGNATURE_FULL_SIZE &&
      eddsa::verify(asn1::blob(keys.eddsa_public, sizeof keys.eddsa_public),
                    asn1::blob(digest, DIGEST_BUFFER_SIZE),
                    asn1::blob(payload + SIGNATURE_EDDSA_OFFSET, eddsa::SIGNATURE_SIZE))) {
    return 2;
  }
  return check_level1(digest, payload, keys) ? 1 : 0;
}

void signature_key_id(const SignatureKeys& keys, unsigned char* id) {
  SHA256 hash;
  hash.update(keys.eddsa_public, sizeof keys.eddsa_public);
  hash.update(keys.curve_public, sizeof keys.curve_public);
  unsigned char digest[32];
  hash.final(digest);
  std::memcpy(id, digest, SIGNATURE_KEY_ID_SIZE);
}

int verify_signature_against(PartStream& stream, const SignatureKeys& keys, unsigned char* key_id) {
  if (key_id != nullptr) std::memset(key_id, 0, SIGNATURE_KEY_ID_SIZE);
  PartStreamBuf& buf = stream.part_buf();
  if (!buf.verify()) return 0;
  buf.finish_digest();
  const size_t wanted = buf.remaining() >= SIGNATURE_FULL_SIZE     ? SIGNATURE_FULL_SIZE
                        : buf.remaining() >= SIGNATURE_LEVEL1_SIZE ? SIGNATURE_LEVEL1_SIZE
                                                                   : 0;
  if (wanted == 0) return 0;
  char read[SIGNATURE_FULL_SIZE];
  if (buf.read_unhashed(read, std::streamsize(wanted)) != std::streamsize(wanted)) return 0;
  unsigned char payload[SIGNATURE_FULL_SIZE];
  std::memcpy(payload, read, wanted);
  if (key_id != nullptr) std::memcpy(key_id, payload, SIGNATURE_KEY_ID_SIZE);
  return signature_payload_level(buf.digest(), payload, wanted, keys);
}

int PartStream::verify_signature() {
  return verify_signature_against(*this, built_in_signature_keys());
}

int required_signature_level(const std::string& name, Version version) {
  if (name == "branding") return 1;
  if (version < 0x062E6609) return 1;            // 6.46.9
  if (version < 0x062F0000) return 2;            // 6.47
  if (version < 0x06306601) return 1;            // 6.48.1
  if (version - 0x07000000u < 90628u) return 1;  // 7.0 up to, not including, 7.1beta4
  return 2;
}
