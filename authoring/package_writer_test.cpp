#include "authoring/package_writer.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <sstream>

#include "authoring/key_files.h"
#include "crypto/little_endian.h"
#include "format/inflate_stream.h"
#include "format/part_stream.h"
#include "testing/root_fixture.h"
#include "testing/test_packages.h"

namespace {

// Remembers every digest it is given; its payloads are `returned` bytes long.
struct RecordingSigner : Signer {
  RecordingSigner(uint32_t length, size_t returned) : length(length), returned(returned) {}
  uint32_t payload_length() const override { return length; }
  std::string sign(const unsigned char* digest, size_t digest_size) const override {
    digests.emplace_back(reinterpret_cast<const char*>(digest), digest_size);
    return std::string(returned, 'p');
  }
  uint32_t length;
  size_t returned;
  mutable std::vector<std::string> digests;
};

}  // namespace

TEST(PackageWriterTest, SignerGetsTheDigestTheReaderComputes) {
  for (bool selector : {false, true}) {
    const RecordingSigner short_signer(68, 68), long_signer(140, 140);
    PackageWriter writer;
    writer.add_part(7, "foreign");
    if (selector) writer.add_digest_selector();
    writer.add_part(PART_PACKAGE_HEADER, encode_header("first", 1, 2));
    writer.add_archive({{MODE_REGULAR_FILE | 0644, 0, "etc/a", "contents", ""}});
    writer.add_signature(short_signer);
    writer.add_part(PART_PACKAGE_HEADER, encode_header("second", 1, 2));
    writer.add_list(PART_DEPENDS, {{"base", 1, 0, 0}});
    writer.add_image("image");
    writer.add_signature(long_signer);
    writer.add_part(PART_ARCHITECTURE, "powerpc");
    std::istringstream in(written(writer));
    PartStream stream(in, true);
    stream.accepted_types = {PART_SIGNATURE};
    const size_t digest_size = selector ? 32 : 20;
    for (const RecordingSigner* signer : {&short_signer, &long_signer}) {
      ASSERT_EQ(stream.next_part(), PART_SIGNATURE);
      stream.part_buf().finish_digest();
      ASSERT_EQ(signer->digests.size(), 1u);
      EXPECT_EQ(std::string(reinterpret_cast<const char*>(stream.part_buf().digest()), 32),
                signer->digests[0] + std::string(32 - digest_size, '\0'));
    }
  }
}

using PackageWriterFiles = RootFixture;
using KeyFilesTest = RootFixture;

TEST_F(PackageWriterFiles, ArchiveEntriesComeFromMemoryAndFiles) {
  std::string big(200000, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = char(i % 253);
  write_file("/big", big);
  const std::vector<ArchiveEntry> entries = {
      {MODE_REGULAR_FILE | 0755, 0, "bin/tool", "#!/bin/sh\n", ""},
      {040755, 0, "var/empty", "", ""},
      {MODE_REGULAR_FILE | 0644, 3, "lib/big", "", host_path("/big")},
  };
  PackageWriter writer;
  writer.add_archive(entries);
  std::istringstream in(written(writer));
  PartStream stream(in, false);
  stream.accepted_types = {PART_ARCHIVE};
  ASSERT_EQ(stream.next_part(), PART_ARCHIVE);
  InflateStream inflate(stream);
  for (const ArchiveEntry& entry : entries) {
    unsigned char header[ARCHIVE_ENTRY_HEADER_SIZE];
    ASSERT_TRUE(inflate.read(reinterpret_cast<char*>(header), sizeof header));
    EXPECT_EQ(load_u16(header), entry.mode);
    EXPECT_EQ(header[23], entry.processor);
    std::string name(load_u16(header + 28), '\0');
    std::string contents(load_u32(header + 24), '\0');
    ASSERT_TRUE(inflate.read(&name[0], std::streamsize(name.size())));
    inflate.read(&contents[0], std::streamsize(contents.size()));
    EXPECT_EQ(name, entry.name);
    EXPECT_EQ(contents, entry.data_path.empty() ? entry.data : big);
  }
  EXPECT_EQ(inflate.get(), EOF);
}

TEST_F(PackageWriterFiles, FailuresAreReportedAtWrite) {
  const RecordingSigner wrong_length(68, 67);
  HeaderGroup long_group;
  long_group.name = "seventeen-chars-x";
  PackageWriter long_name, long_entry, missing_file, bad_signature;
  long_name.add_header_group(long_group);
  long_entry.add_list(PART_PROVIDES, {{"seventeen-chars-x", 0, 0, 0}});
  missing_file.add_archive({{MODE_REGULAR_FILE | 0644, 0, "f", "", host_path("/absent")}});
  bad_signature.add_signature(wrong_length);
  for (PackageWriter* writer : {&long_name, &long_entry, &missing_file, &bad_signature}) {
    std::ostringstream out;
    EXPECT_FALSE(writer->write(out));
    EXPECT_FALSE(writer->error().empty());
  }
}

TEST_F(KeyFilesTest, WrittenKeysReadBackAndMalformedFilesAreNamed) {
  SigningKeys keys;
  ASSERT_TRUE(generate_signing_keys(keys));
  std::string error;
  const std::string dir = host_path("/keys");
  ASSERT_TRUE(write_signing_keys(dir, keys, error)) << error;

  SigningKeys back;
  ASSERT_TRUE(read_signing_keys(dir, back, error)) << error;
  EXPECT_EQ(std::memcmp(&back.public_keys.constants, &keys.public_keys.constants,
                        sizeof keys.public_keys.constants),
            0);

  // White space anywhere is ignored; upper case is read too.
  std::string spread = "\n";
  for (char c : read_file("/keys/hash.constants")) spread += {char(std::toupper(c)), '\t'};
  write_file("/keys/hash.constants", spread + "\r\n");
  SignatureKeys public_keys;
  ASSERT_TRUE(read_public_keys(dir, public_keys, error)) << error;
  EXPECT_EQ(public_keys.constants.initial[7], keys.public_keys.constants.initial[7]);

  // Sound public keys that do not belong to the private ones, then degenerate ones.
  SigningKeys other;
  ASSERT_TRUE(generate_signing_keys(other));
  ASSERT_TRUE(write_signing_keys(host_path("/other"), other, error)) << error;
  for (const char* name : {"/eddsa.pub", "/curve.pub"}) {
    const std::string kept = read_file(std::string("/keys") + name);
    write_file(std::string("/keys") + name, read_file(std::string("/other") + name));
    EXPECT_FALSE(read_signing_keys(dir, back, error)) << name;
    EXPECT_NE(error.find("do not belong"), std::string::npos) << error;
    write_file(std::string("/keys") + name, "01" + std::string(62, '0'));
    EXPECT_FALSE(read_public_keys(dir, public_keys, error)) << name;
    EXPECT_NE(error.find(std::string(name + 1) + ": a point of small order; such a key lets"),
              std::string::npos)
        << error;
    write_file(std::string("/keys") + name, kept);
  }

  const std::pair<const char*, const char*> broken[] = {
      {"00", "holds 1 bytes, expected 32"}, {"zz", "not hexadecimal"}, {"abc", "not hexadecimal"}};
  for (const auto& [contents, message] : broken) {
    write_file("/keys/curve.pub", contents);
    EXPECT_FALSE(read_public_keys(dir, public_keys, error));
    EXPECT_NE(error.find("curve.pub: "), std::string::npos) << error;
    EXPECT_NE(error.find(message), std::string::npos) << error;
  }
  EXPECT_FALSE(read_public_keys(host_path("/none"), public_keys, error));
}
