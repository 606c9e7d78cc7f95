#include "format/package_writer.h"

#include <gtest/gtest.h>

#include <sstream>

#include "format/inflate_stream.h"
#include "format/little_endian.h"
#include "format/part_stream.h"
#include "testing/root_fixture.h"

namespace {

// Returns a payload made from the digest and remembers every digest it was given.
class RecordingSigner : public Signer {
 public:
  explicit RecordingSigner(uint32_t length) : length_(length) {}
  uint32_t payload_length() const override { return length_; }
  std::string sign(const unsigned char* digest, size_t digest_size) const override {
    digests.emplace_back(reinterpret_cast<const char*>(digest), digest_size);
    std::string payload(length_, 'p');
    payload.replace(0, digest_size, digests.back());
    return payload;
  }
  mutable std::vector<std::string> digests;

 private:
  uint32_t length_;
};

class BadSigner : public Signer {
 public:
  uint32_t payload_length() const override { return 68; }
  std::string sign(const unsigned char*, size_t) const override { return "short"; }
};

HeaderGroup group(const std::string& name) {
  HeaderGroup header;
  header.name = name;
  header.architecture = "powerpc";
  header.depends = std::vector<Dependency>{{"base", 1, 0, 0}};
  return header;
}

}  // namespace

TEST(PackageWriterTest, SignerGetsTheDigestTheReaderComputes) {
  for (bool selector : {false, true}) {
    RecordingSigner short_signer(68);
    RecordingSigner long_signer(140);
    PackageWriter writer;
    writer.add_part(7, "foreign");
    if (selector) writer.add_digest_selector();
    writer.add_header_group(group("first"));
    writer.add_archive({{MODE_REGULAR_FILE | 0644, 0, "etc/a", "contents", ""}});
    writer.add_signature(short_signer);
    writer.add_header_group(group("second"));
    writer.add_image("image");
    writer.add_signature(long_signer);
    writer.add_part(PART_ARCHITECTURE, "powerpc");
    std::ostringstream out;
    ASSERT_TRUE(writer.write(out)) << writer.error();

    std::istringstream in(out.str());
    PartStream stream(in, true);
    stream.accepted_types = {PART_SIGNATURE};
    const size_t digest_size = selector ? 32 : 20;
    for (const RecordingSigner* signer : {&short_signer, &long_signer}) {
      ASSERT_EQ(stream.next_part(), PART_SIGNATURE);
      EXPECT_EQ(stream.part_length(), signer->payload_length());
      stream.part_buf().finish_digest();
      const std::string digest(reinterpret_cast<const char*>(stream.part_buf().digest()), 32);
      ASSERT_EQ(signer->digests.size(), 1u);
      EXPECT_EQ(signer->digests[0], digest.substr(0, digest_size));
      EXPECT_EQ(digest.substr(digest_size), std::string(32 - digest_size, '\0'));
      std::string payload(signer->payload_length(), '\0');
      ASSERT_TRUE(stream.read(&payload[0], std::streamsize(payload.size())));
      EXPECT_EQ(payload.substr(0, digest_size), signer->digests[0]);
    }
  }
}

class PackageWriterFiles : public RootFixture {};

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
  std::ostringstream out;
  ASSERT_TRUE(writer.write(out)) << writer.error();

  std::istringstream in(out.str());
  PartStream stream(in, false);
  stream.accepted_types = {PART_ARCHIVE};
  ASSERT_EQ(stream.next_part(), PART_ARCHIVE);
  InflateStream inflate(stream);
  for (const ArchiveEntry& entry : entries) {
    unsigned char header[ARCHIVE_ENTRY_HEADER_SIZE];
    ASSERT_TRUE(inflate.read(reinterpret_cast<char*>(header), sizeof header));
    EXPECT_EQ(load_u16(header), entry.mode);
    EXPECT_EQ(header[23], entry.processor);
    const std::string& data = entry.data_path.empty() ? entry.data : big;
    std::string name(load_u16(header + 28), '\0');
    std::string contents(load_u32(header + 24), '\0');
    ASSERT_TRUE(inflate.read(&name[0], std::streamsize(name.size())));
    inflate.read(&contents[0], std::streamsize(contents.size()));
    EXPECT_EQ(name, entry.name);
    EXPECT_EQ(contents, data);
  }
  EXPECT_EQ(inflate.get(), EOF);
}

TEST_F(PackageWriterFiles, FailuresAreReportedAtWrite) {
  auto fails = [](PackageWriter& writer) {
    std::ostringstream out;
    const bool written = writer.write(out);
    return !written && !writer.error().empty();
  };
  PackageWriter long_name;
  long_name.add_header_group(group("seventeen-chars-x"));
  EXPECT_TRUE(fails(long_name));

  PackageWriter long_entry;
  long_entry.add_list(PART_PROVIDES, {{"seventeen-chars-x", 0, 0, 0}});
  EXPECT_TRUE(fails(long_entry));

  PackageWriter missing_file;
  missing_file.add_archive({{MODE_REGULAR_FILE | 0644, 0, "f", "", host_path("/absent")}});
  EXPECT_TRUE(fails(missing_file));

  BadSigner bad;
  PackageWriter bad_signature;
  bad_signature.add_header_group(group("pkg"));
  bad_signature.add_signature(bad);
  EXPECT_TRUE(fails(bad_signature));
}
