#include "format/signature.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <functional>
#include <sstream>

#include "crypto/eddsa.h"
#include "format/little_endian.h"
#include "format/package_writer.h"
#include "format/part_stream.h"
#include "format/signature_signing.h"
#include "tools/key_files.h"

namespace {

// One key set for the whole file: generating keys costs a few ladders.
const SigningKeys& fresh_keys() {
  static SigningKeys keys;
  static const bool made = generate_signing_keys(keys);
  EXPECT_TRUE(made);
  return keys;
}

// A signer whose payload the test shapes from the digest it is given.
class ShapedSigner : public Signer {
 public:
  ShapedSigner(uint32_t length, std::function<std::string(const unsigned char*, size_t)> make)
      : length_(length), make_(std::move(make)) {}
  uint32_t payload_length() const override { return length_; }
  std::string sign(const unsigned char* digest, size_t size) const override {
    return make_(digest, size);
  }

 private:
  uint32_t length_;
  std::function<std::string(const unsigned char*, size_t)> make_;
};

// The level-1 payload for `digest`, then `extra` bytes of `fill`.
std::string level1_then(const unsigned char* digest, size_t size, size_t extra, char fill) {
  unsigned char padded[32] = {};
  std::copy(digest, digest + size, padded);
  unsigned char payload[SIGNATURE_LEVEL1_SIZE];
  EXPECT_TRUE(sign_level1(fresh_keys(), padded, payload));
  return std::string(payload, payload + sizeof payload) + std::string(extra, fill);
}

// A package with a digest selector when `selector`, a header group, a small archive, the
// signature and a trailing architecture part.
std::string package(const Signer& signer, bool selector) {
  PackageWriter writer;
  if (selector) writer.add_digest_selector();
  HeaderGroup group;
  group.name = "demo";
  group.version = make_version(1, 2, KIND_FINAL, 3);
  group.architecture = "powerpc";
  writer.add_header_group(group);
  ArchiveEntry entry;
  entry.name = "bin/demo";
  entry.data = "#!/bin/sh\necho demo\n";
  writer.add_archive({entry});
  writer.add_signature(signer);
  writer.add_part(PART_ARCHITECTURE, "trailer");
  std::ostringstream out;
  EXPECT_TRUE(writer.write(out)) << writer.error();
  return out.str();
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

// The level the signature verifies at, -1 when the stream finds no signature part. With
// `trailer`, also that the part after the signature is still read whole.
int level_of(const std::string& bytes, const SignatureKeys& keys, bool verify = true,
             std::string* trailer = nullptr) {
  std::istringstream in(bytes);
  PartStream stream(in, verify);
  stream.accepted_types = {PART_SIGNATURE, PART_ARCHITECTURE};
  int32_t type = stream.next_part();
  while (type == PART_ARCHITECTURE) type = stream.next_part();
  if (type != PART_SIGNATURE) return -1;
  const int level = verify_signature_against(stream, keys);
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

TEST(Signature, SignThenVerifyAtBothLevels) {
  const SignatureKeys& keys = fresh_keys().public_keys;
  const KeySigner level1(fresh_keys(), 1), level2(fresh_keys(), 2);
  std::string trailer;
  EXPECT_EQ(level_of(package(level1, false), keys, true, &trailer), 1);
  EXPECT_EQ(trailer, "trailer");
  EXPECT_EQ(level_of(package(level1, true), keys), 1);  // level 1 over a SHA-256 digest
  EXPECT_EQ(level_of(package(level2, true), keys, true, &trailer), 2);
  EXPECT_EQ(trailer, "trailer");
  // Hashing off: nothing can be verified.
  EXPECT_EQ(level_of(package(level2, true), keys, false), 0);

  // Other keys accept neither level.
  SigningKeys other;
  ASSERT_TRUE(generate_signing_keys(other));
  EXPECT_EQ(level_of(package(level1, false), other.public_keys), 0);
  EXPECT_EQ(level_of(package(level2, true), other.public_keys), 0);
}

TEST(Signature, AnyFlippedBitInTheSignedRangeFails) {
  const SignatureKeys& keys = fresh_keys().public_keys;
  for (int level : {1, 2}) {
    const KeySigner signer(fresh_keys(), level);
    const std::string bytes = package(signer, level == 2);
    const size_t first = part_at(bytes, PART_PACKAGE_HEADER);
    const size_t end = part_at(bytes, PART_SIGNATURE) + PART_HEADER_SIZE;
    for (size_t at = first; at < end; ++at) {
      const int result = level_of(flipped(bytes, at, int(at % 8)), keys);
      EXPECT_TRUE(result == 0 || result == -1) << "level " << level << ", byte " << at;
    }
    if (level == 2) {  // without the selector the digest is SHA-1
      EXPECT_EQ(level_of(flipped(bytes, part_at(bytes, PART_DIGEST_SELECTOR), 0), keys), 0);
    }
  }
}

TEST(Signature, FlippedBitsInThePayloadGiveTheRemainingLevel) {
  const SignatureKeys& keys = fresh_keys().public_keys;
  const KeySigner level1(fresh_keys(), 1), level2(fresh_keys(), 2);
  const std::string one = package(level1, false), two = package(level2, true);
  const size_t one_at = part_at(one, PART_SIGNATURE) + PART_HEADER_SIZE;
  const size_t two_at = part_at(two, PART_SIGNATURE) + PART_HEADER_SIZE;
  for (size_t offset : {0, 19}) {  // not read
    EXPECT_EQ(level_of(flipped(one, one_at + offset, 3), keys), 1);
    EXPECT_EQ(level_of(flipped(two, two_at + offset, 3), keys), 2);
  }
  for (size_t offset : {20, 27, 35, 36, 50, 67}) {  // c and s
    EXPECT_EQ(level_of(flipped(one, one_at + offset, int(offset % 8)), keys), 0) << offset;
    EXPECT_EQ(level_of(flipped(two, two_at + offset, int(offset % 8)), keys), 2) << offset;
  }
  for (size_t offset : {68, 99, 131}) {  // the Ed25519 half; level 1 still holds
    EXPECT_EQ(level_of(flipped(two, two_at + offset, int(offset % 8)), keys), 1) << offset;
  }
}

TEST(Signature, PayloadSizesDecideWhatIsRead) {
  const SignatureKeys& keys = fresh_keys().public_keys;
  std::string trailer;
  const ShapedSigner short_one(67, [](const unsigned char* digest, size_t size) {
    return level1_then(digest, size, 0, 0).substr(0, 67);
  });
  EXPECT_EQ(level_of(package(short_one, true), keys, true, &trailer), 0);
  EXPECT_EQ(trailer, "trailer");

  // 131 bytes: level 1 only, and the 63 bytes after it are left to the next part.
  const ShapedSigner longer(131, [](const unsigned char* digest, size_t size) {
    return level1_then(digest, size, 63, 'x');
  });
  EXPECT_EQ(level_of(package(longer, true), keys, true, &trailer), 1);
  EXPECT_EQ(trailer, "trailer");

  // 132 bytes or more try Ed25519 over the 32-byte digest first.
  const ShapedSigner full(200, [](const unsigned char* digest, size_t size) {
    std::string payload = level1_then(digest, size, 0, 0);
    unsigned char signature[eddsa::SIGNATURE_SIZE];
    EXPECT_TRUE(
        eddsa::sign(asn1::blob(fresh_keys().eddsa_seed, 32), asn1::blob(digest, 32), signature));
    return payload + std::string(signature, signature + 64) + std::string(68, 'y');
  });
  EXPECT_EQ(level_of(package(full, true), keys, true, &trailer), 2);
  EXPECT_EQ(trailer, "trailer");

  // A source that ends inside the payload.
  const KeySigner level2(fresh_keys(), 2);
  const std::string bytes = package(level2, true);
  EXPECT_EQ(level_of(bytes.substr(0, part_at(bytes, PART_SIGNATURE) + 6 + 100), keys), 0);
}

TEST(Signature, Sha1DigestIsPaddedWithZerosForEd25519) {
  const SignatureKeys& keys = fresh_keys().public_keys;
  const auto signer_over = [](unsigned char fill) {
    return ShapedSigner(132, [fill](const unsigned char* digest, size_t size) {
      EXPECT_EQ(size, 20u);
      unsigned char padded[32];
      std::fill(padded, padded + 32, fill);
      std::copy(digest, digest + size, padded);
      unsigned char signature[eddsa::SIGNATURE_SIZE];
      EXPECT_TRUE(
          eddsa::sign(asn1::blob(fresh_keys().eddsa_seed, 32), asn1::blob(padded, 32), signature));
      return level1_then(digest, size, 0, 0) + std::string(signature, signature + 64);
    });
  };
  EXPECT_EQ(level_of(package(signer_over(0), false), keys), 2);
  EXPECT_EQ(level_of(package(signer_over(0xFF), false), keys), 1);
}

TEST(Signature, BuiltInKeysVerifyPackagesOfTheConfiguredSet) {
  SigningKeys keys;
  std::string error;
  if (!read_signing_keys(INSTALLER_KEYS_DIR, keys, error)) {
    GTEST_SKIP() << "the configured key set has no private files: " << error;
  }
  for (int level : {1, 2}) {
    const KeySigner signer(keys, level);
    std::istringstream in(package(signer, level == 2));
    PartStream stream(in, true);
    stream.accepted_types = {PART_SIGNATURE};
    ASSERT_EQ(stream.next_part(), PART_SIGNATURE);
    EXPECT_EQ(stream.verify_signature(), level);
  }
}

TEST(KeyGeneration, PrivateHalfMustMatch) {
  SigningKeys keys = fresh_keys();
  EXPECT_TRUE(keys_match(keys));
  keys.curve_scalar[0] ^= 1;
  EXPECT_FALSE(keys_match(keys));
  keys = fresh_keys();
  keys.eddsa_seed[31] ^= 1;
  EXPECT_FALSE(keys_match(keys));
}

TEST(RequiredSignatureLevel, Boundaries) {
  const struct {
    const char* name;
    Version version;
    int level;
  } cases[] = {
      {"branding", 0x07050000, 1},  {"branding", 0x062E6609, 1}, {"system", 0x062E6608, 1},
      {"system", 0x062E6609, 2},    {"system", 0x062EFFFF, 2},   {"system", 0x062F0000, 1},
      {"system", 0x06306600, 1},    {"system", 0x06306601, 2},   {"system", 0x06FF0000, 2},
      {"system", 0x06FFFFFF, 2},    {"system", 0x07000000, 1},   {"system", 0x07016203, 1},
      {"system", 0x07016204, 2},    {"system", 0xFFFFFFFF, 2},   {"system", 0, 1},
      {"brandings", 0x07050000, 2},
  };
  for (const auto& test : cases) {
    EXPECT_EQ(required_signature_level(test.name, test.version), test.level)
        << test.name << " " << std::hex << test.version;
  }
}

}  // namespace
