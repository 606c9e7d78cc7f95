#include "format/signature.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <sstream>
#include <tuple>

#include "authoring/signature_signing.h"
#include "crypto/hex_text.h"
#include "crypto/little_endian.h"
#include "format/part_stream.h"
#include "testing/test_packages.h"

namespace {

// One key set for the whole file: generating keys costs a few ladders.
const SigningKeys& fresh_keys() {
  static SigningKeys keys;
  static const bool made = generate_signing_keys(keys);
  EXPECT_TRUE(made);
  return keys;
}

// A level-2 payload over the digest padded with `fill` to 32 bytes, then cut or padded with
// 'x' to `length` bytes.
class ShapedSigner : public Signer {
 public:
  explicit ShapedSigner(uint32_t length, unsigned char fill = 0) : length_(length), fill_(fill) {}
  uint32_t payload_length() const override { return length_; }
  std::string sign(const unsigned char* digest, size_t size) const override {
    unsigned char padded[32];
    std::fill(padded, padded + 32, fill_);
    std::copy(digest, digest + size, padded);
    std::string payload = KeySigner(fresh_keys(), 2).sign(padded, sizeof padded);
    payload.resize(length_, 'x');
    return payload;
  }

 private:
  uint32_t length_;
  unsigned char fill_;
};

// A package with a digest selector when `selector`, a header group, an image part, the
// signature and a trailing architecture part.
std::string package(const Signer& signer, bool selector) {
  PackageWriter writer;
  if (selector) writer.add_digest_selector();
  HeaderGroup group;
  group.name = "demo";
  writer.add_header_group(group);
  writer.add_image("image");
  writer.add_signature(signer);
  writer.add_part(PART_ARCHITECTURE, "trailer");
  return written(writer);
}

// Offset of the header of the first part of `type`.
size_t part_at(const std::string& bytes, uint16_t type) {
  const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
  for (size_t at = CONTAINER_HEADER_SIZE; at + PART_HEADER_SIZE <= bytes.size();
       at += PART_HEADER_SIZE + load_u32(data + at + 2)) {
    if (load_u16(data + at) == type) return at;
  }
  ADD_FAILURE() << "no part of type " << type;
  return 0;
}

// The level the signature verifies at against the fresh keys, -1 when the stream finds no
// signature part. With `trailer`, also that the part after the signature is still read whole.
int level_of(const std::string& bytes, bool verify = true, std::string* trailer = nullptr) {
  std::istringstream in(bytes);
  PartStream stream(in, verify);
  stream.accepted_types = {PART_SIGNATURE, PART_ARCHITECTURE};
  int32_t type = stream.next_part();
  while (type == PART_ARCHITECTURE) type = stream.next_part();
  if (type != PART_SIGNATURE) return -1;
  const int level = verify_signature_against(stream, fresh_keys().public_keys);
  if (trailer != nullptr && stream.next_part() == PART_ARCHITECTURE) {
    trailer->assign(stream.part_length(), '\0');
    stream.read(&(*trailer)[0], std::streamsize(trailer->size()));
  }
  return level;
}

std::string flipped(std::string bytes, size_t at, int bit) {
  bytes[at] = char(bytes[at] ^ (1 << bit));
  return bytes;
}

// Signing and checking share level1_scalar, so only a reference pins its form: the hash of
// the first 20 digest bytes, c mixed into bytes 8 to 23, clamped.
TEST(Signature, Level1ScalarMixesCIntoTheHashAndClamps) {
  const SignatureKeys& keys = fresh_keys().public_keys;
  unsigned char digest[32], c[16], h[32], hash[32];
  std::fill(c, c + 16, 0xA5);
  for (int round = 0; round < 8; ++round) {
    std::fill(digest, digest + 32, round);
    level1_scalar(h, digest, c, keys);
    signature_hash(digest, 20, hash, keys.constants);
    for (int i = 8; i < 24; ++i) hash[i] ^= 0xA5;
    hash[0] &= 0xF8;
    hash[31] = (hash[31] & 0x7F) | 0x40;
    EXPECT_EQ(to_hex(h, 32), to_hex(hash, 32)) << round;
  }
}

// A flipped bit anywhere from the header through the signature part header fails. In the
// payload bytes 0 to 19 are not read, c and s (20 to 67) are level 1's and the Ed25519 half
// (68 to 131) level 2's, which stands alone.
TEST(Signature, FlippedBitsFailTheLevelTheyBelongTo) {
  for (int level : {1, 2}) {
    const std::string bytes = package(KeySigner(fresh_keys(), level), level == 2);
    EXPECT_EQ(level_of(bytes, false), 0);  // hashing off
    const size_t payload = part_at(bytes, PART_SIGNATURE) + PART_HEADER_SIZE;
    const size_t end = payload + (level == 1 ? SIGNATURE_LEVEL1_SIZE : SIGNATURE_FULL_SIZE);
    for (size_t at = part_at(bytes, PART_PACKAGE_HEADER); at < end; ++at) {
      const int result = level_of(flipped(bytes, at, int(at % 8)));
      if (at < payload) {
        EXPECT_TRUE(result == 0 || result == -1) << "level " << level << ", byte " << at;
      } else {
        const size_t offset = at - payload;
        EXPECT_EQ(result, offset < 20   ? level
                          : offset < 68 ? (level == 1 ? 0 : 2)
                                        : 1)
            << "level " << level << ", payload byte " << offset;
      }
    }
    if (level == 2) {  // without the selector the digest is SHA-1
      EXPECT_EQ(level_of(flipped(bytes, part_at(bytes, PART_DIGEST_SELECTOR), 0)), 0);
    }
  }
}

TEST(Signature, NoTwoMessagesShareANonce) {
  // With one k and two h, s = (k - h) / a gives the private scalar away. Distinct messages
  // give distinct c = hash(k*G), which every payload must verify with.
  std::set<std::string> checks;
  for (int round = 0; round < 24; ++round) {
    unsigned char digest[DIGEST_BUFFER_SIZE] = {};
    digest[round % LEVEL1_DIGEST_SIZE] = static_cast<unsigned char>(round + 1);
    unsigned char payload[SIGNATURE_FULL_SIZE];
    ASSERT_TRUE(sign_level2(fresh_keys(), digest, payload));
    EXPECT_EQ(signature_payload_level(digest, payload, sizeof payload, fresh_keys().public_keys),
              2);
    EXPECT_TRUE(check_level1(digest, payload, fresh_keys().public_keys)) << round;
    checks.insert(
        std::string(payload + SIGNATURE_C_OFFSET, payload + SIGNATURE_C_OFFSET + SIGNATURE_C_SIZE));
  }
  EXPECT_EQ(checks.size(), 24u);
}

// Under 68 bytes nothing is checked; 68 to 131 check level 1 only; 132 or more try Ed25519
// first. What is not read is left to the next part. A SHA-1 digest is padded with zeros for
// Ed25519.
TEST(Signature, PayloadSizesDecideWhatIsRead) {
  for (auto [length, fill, selector, level] : {std::tuple{67u, 0, true, 0},
                                               {131u, 0, true, 1},
                                               {200u, 0, true, 2},
                                               {132u, 0, false, 2},
                                               {132u, 0xFF, false, 1}}) {
    std::string trailer;
    EXPECT_EQ(level_of(package(ShapedSigner(length, fill), selector), true, &trailer), level)
        << length << " bytes, fill " << fill;
    EXPECT_EQ(trailer, "trailer") << length;
  }
  // A source that ends inside the payload.
  const std::string bytes = package(ShapedSigner(132), true);
  EXPECT_EQ(level_of(bytes.substr(0, part_at(bytes, PART_SIGNATURE) + 6 + 100)), 0);
}

TEST(RequiredSignatureLevel, Boundaries) {
  EXPECT_EQ(required_signature_level("branding", 0x07050000), 1);
  EXPECT_EQ(required_signature_level("brandings", 0x07050000), 2);
  const std::pair<Version, int> system[] = {
      {0x062E6608, 1}, {0x062E6609, 2}, {0x062EFFFF, 2}, {0x062F0000, 1},
      {0x06306600, 1}, {0x06306601, 2}, {0x06FFFFFF, 2}, {0x07000000, 1},
      {0x07016203, 1}, {0x07016204, 2}, {0xFFFFFFFF, 2},
  };
  for (const auto& [version, level] : system) {
    EXPECT_EQ(required_signature_level("system", version), level) << std::hex << version;
  }
}

}  // namespace
