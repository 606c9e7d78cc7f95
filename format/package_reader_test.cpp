#include "format/package_reader.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "format/little_endian.h"
#include "format/package_writer.h"
#include "testing/root_fixture.h"

namespace {

std::string written(PackageWriter& writer) {
  std::ostringstream out;
  EXPECT_TRUE(writer.write(out)) << writer.error();
  return out.str();
}

HeaderGroup full_group() {
  HeaderGroup group;
  group.name = "sixteen-chars-ab";
  group.version = make_version(6, 48, KIND_FINAL, 1);
  group.build_time = 1700000000;
  group.header_flags = 3;
  group.text_part24 = "t24";
  group.architecture = "powerpc";
  group.text_part2 = "t2";
  group.text_part23 = "note";
  group.depends = std::vector<Dependency>{{"dep-sixteen-char", 1, 2, 9}, {"other", 0, 0, 0}};
  group.provides = std::vector<Dependency>{{"cap", 0, 0, -5}};
  group.conflicts = std::vector<Dependency>{};
  return group;
}

struct PartSpan {
  size_t at;   // offset of the part header
  size_t end;  // offset after the payload
};

std::vector<PartSpan> part_spans(const std::string& bytes) {
  std::vector<PartSpan> parts;
  const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
  for (size_t at = 8; at + 6 <= bytes.size(); at = parts.back().end) {
    parts.push_back({at, at + 6 + load_u32(data + at + 2)});
  }
  return parts;
}

std::string package_with_header(const std::string& header_payload) {
  PackageWriter writer;
  writer.add_part(PART_PACKAGE_HEADER, header_payload);
  writer.add_signature(std::string(68, 's'));
  return written(writer);
}

class PackageReaderTest : public RootFixture {
 protected:
  bool open(const std::string& bytes, PackageFile& file) {
    write_file("/p.vmp", bytes);
    return open_package_file(file, host_path("/p.vmp"));
  }
  bool opens(const std::string& bytes) {
    PackageFile file;
    return open(bytes, file);
  }
};

}  // namespace

TEST_F(PackageReaderTest, OpensAPackageWithEveryHeaderField) {
  for (uint32_t magic : {PACKAGE_MAGIC, UNRECORDED_MAGIC}) {
    PackageWriter writer(magic);
    writer.add_header_group(full_group());
    writer.add_image("kernel");
    writer.add_archive({{MODE_REGULAR_FILE | 0755, 0, "bin/x", "data", ""}});
    writer.add_signature(std::string(132, 's'));
    writer.add_part(PART_ARCHITECTURE, "powerpc");
    writer.add_part(PART_DEPENDS, "");
    const std::string bytes = written(writer);
    PackageFile file;
    ASSERT_TRUE(open(bytes, file));
    EXPECT_EQ(file.path, host_path("/p.vmp"));
    EXPECT_EQ(file.size, bytes.size());
    EXPECT_EQ(file.is_unrecorded, magic == UNRECORDED_MAGIC);
    EXPECT_EQ(file.name, "sixteen-chars-ab");
    EXPECT_EQ(file.version, make_version(6, 48, KIND_FINAL, 1));
    EXPECT_EQ(file.build_time, 1700000000u);
    EXPECT_EQ(file.header_flags, 3u);
    EXPECT_EQ(file.text_part24, "t24");
    EXPECT_EQ(file.architecture, "powerpc");
    EXPECT_EQ(file.text_part2, "t2");
    EXPECT_EQ(file.text_part23, "note");
    ASSERT_EQ(file.depends.size(), 2u);
    EXPECT_EQ(file.depends[0].name, "dep-sixteen-char");
    EXPECT_EQ(file.depends[0].min, 1u);
    EXPECT_EQ(file.depends[0].max, 2u);
    EXPECT_EQ(file.depends[1].name, "other");
    ASSERT_EQ(file.provides.size(), 1u);
    EXPECT_EQ(file.provides[0].weight, -5);
    EXPECT_TRUE(file.conflicts.empty());
    EXPECT_TRUE(file.has_part21);
    EXPECT_FALSE(file.is_bundle);
  }
}

TEST_F(PackageReaderTest, HeaderGroupEndsAtTheFirstPartOutOfOrder) {
  PackageWriter writer;
  writer.add_part(PART_PACKAGE_HEADER, encode_header("pkg", 1, 2) + "xyz");
  writer.add_part(PART_ARCHITECTURE, "mipsbe");
  writer.add_part(PART_TEXT24, "late");
  writer.add_list(PART_DEPENDS, {{"dep", 0, 0, 0}});
  writer.add_image();
  writer.add_signature(std::string(68, 's'));
  PackageFile file;
  ASSERT_TRUE(open(written(writer), file));
  EXPECT_EQ(file.architecture, "mipsbe");
  EXPECT_EQ(file.text_part24, "");
  EXPECT_TRUE(file.depends.empty());
  EXPECT_FALSE(file.has_part21);

  PackageFile bare;
  ASSERT_TRUE(open(package_with_header(encode_header("pkg", 1, 2)), bare));
  EXPECT_EQ(bare.architecture, "i386");

  // The trailer after the signature belongs to no header group.
  for (bool with_archive : {false, true}) {
    PackageWriter trailed;
    trailed.add_part(PART_PACKAGE_HEADER, encode_header("pkg", 1, 2));
    if (with_archive) trailed.add_archive({});
    trailed.add_signature(std::string(68, 's'));
    trailed.add_part(PART_ARCHITECTURE, "trailer");
    trailed.add_part(PART_DEPENDS, "");
    PackageFile file;
    ASSERT_TRUE(open(written(trailed), file)) << with_archive;
    EXPECT_EQ(file.architecture, "i386");
  }
}

TEST_F(PackageReaderTest, HeaderFlagsNeedAllFourBytes) {
  const std::string header = encode_header("pkg", 1, 2, 0x01020304);
  EXPECT_FALSE(opens(package_with_header(header.substr(0, 31))));
  for (size_t size : {32, 33, 35, 36}) {
    PackageFile file;
    ASSERT_TRUE(open(package_with_header(header.substr(0, size)), file)) << size;
    EXPECT_EQ(file.header_flags, size == 36 ? 0x01020304u : 0u) << size;
  }
  PackageFile longer;
  ASSERT_TRUE(open(package_with_header(header + "more"), longer));
  EXPECT_EQ(longer.header_flags, 0x01020304u);
}

TEST_F(PackageReaderTest, HeaderFlagsArriveThroughAPipe) {
  const std::string bytes = package_with_header(encode_header("pkg", 1, 2, 5));
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  // The first read finds the pipe holding exactly the 32 header bytes.
  const size_t first = 8 + 6 + 32;
  ASSERT_EQ(write(ends[1], bytes.data(), first), ssize_t(first));
  std::thread late_writer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(write(ends[1], bytes.data() + first, bytes.size() - first),
              ssize_t(bytes.size() - first));
    close(ends[1]);
  });
  std::ifstream in("/proc/self/fd/" + std::to_string(ends[0]), std::ios::binary);
  PartStream stream(in, true);
  stream.accepted_types = {PART_PACKAGE_HEADER};
  EXPECT_EQ(stream.next_part(), PART_PACKAGE_HEADER);
  PackageInfo info;
  EXPECT_TRUE(read_header(info, stream));
  EXPECT_EQ(info.header_flags, 5u);
  late_writer.join();
  close(ends[0]);
}

TEST_F(PackageReaderTest, UnsafeNamesAreRefused) {
  for (const char* name : {"", ".", "..", "a/b", "/", "a b", "a\tb", "a\nb", "a\x01", "\x7f"}) {
    EXPECT_FALSE(opens(package_with_header(encode_header(name, 1, 2)))) << name;
  }
  EXPECT_TRUE(opens(package_with_header(encode_header("a.b-c_d+\xc3\xa9", 1, 2))));

  for (const char* name : {"", "a b", "a\tb", "x\x7f", "x/y", ".."}) {
    PackageWriter writer;
    HeaderGroup group;
    group.name = "pkg";
    group.provides = std::vector<Dependency>{{name, 0, 0, 0}};
    writer.add_header_group(group);
    writer.add_signature(std::string(68, 's'));
    const bool token = std::string(name) == "x/y" || std::string(name) == "..";
    EXPECT_EQ(opens(written(writer)), token) << name;
  }
}

TEST_F(PackageReaderTest, LengthsNoPackageHasAreRefused) {
  for (size_t size : {size_t(65536), size_t(65537)}) {
    HeaderGroup group;
    group.name = "pkg";
    group.text_part23 = std::string(size, 'n');
    PackageWriter writer;
    writer.add_header_group(group);
    EXPECT_EQ(opens(written(writer)), size == 65536) << size;
  }
  const std::string list = encode_list({{"a", 0, 0, 0}, {"b", 0, 0, 0}});
  for (const std::string& payload : {list + "trailing", list.substr(0, 65), list.substr(0, 1)}) {
    PackageWriter writer;
    writer.add_part(PART_PACKAGE_HEADER, encode_header("pkg", 1, 2));
    writer.add_part(PART_DEPENDS, payload);
    PackageFile file;
    EXPECT_EQ(open(written(writer), file), payload.size() > list.size()) << payload.size();
  }
  PackageWriter huge_count;
  huge_count.add_part(PART_PACKAGE_HEADER, encode_header("pkg", 1, 2));
  huge_count.add_part(PART_CONFLICTS, std::string("\xff\xff", 2) + list.substr(2));
  EXPECT_FALSE(opens(written(huge_count)));
}

TEST_F(PackageReaderTest, SizeMustEqualTheDeclaredLength) {
  const std::string bytes = package_with_header(encode_header("pkg", 1, 2));
  EXPECT_TRUE(opens(bytes));
  EXPECT_FALSE(opens(bytes + "x"));
  EXPECT_FALSE(opens(bytes.substr(0, bytes.size() - 1)));
  for (uint32_t declared : {uint32_t(bytes.size() - 7), uint32_t(bytes.size() - 9), 0xFFFFFFF9u}) {
    std::string changed = bytes;
    store_u32(reinterpret_cast<unsigned char*>(&changed[4]), declared);
    EXPECT_FALSE(opens(changed)) << declared;
  }
  PackageFile missing;
  EXPECT_FALSE(open_package_file(missing, host_path("/absent.vmp")));
}

TEST_F(PackageReaderTest, BundlesListTheirMembers) {
  HeaderGroup bundle;
  bundle.is_bundle = true;
  bundle.name = "bundle";
  bundle.version = 7;
  HeaderGroup first;
  first.name = "first";
  first.architecture = "powerpc";
  HeaderGroup second;
  second.name = "second";
  PackageWriter writer;
  writer.add_header_group(bundle);
  writer.add_image();
  writer.add_bundle_list({{"first", 0, 0, 0}, {"second", 0, 0, 0}});
  for (const HeaderGroup* member : {&first, &second}) {
    writer.add_header_group(*member);
    if (member == &first) writer.add_image();
    writer.add_archive({});
    writer.add_signature(std::string(68, 's'));
  }
  PackageFile file;
  ASSERT_TRUE(open(written(writer), file));
  EXPECT_TRUE(file.is_bundle);
  EXPECT_TRUE(file.has_part21);
  EXPECT_EQ(file.version, 7u);
  ASSERT_EQ(file.members.size(), 2u);
  EXPECT_EQ(file.members[0]->name, "first");
  EXPECT_EQ(file.members[0]->architecture, "powerpc");
  EXPECT_TRUE(file.members[0]->has_part21);
  EXPECT_EQ(file.members[1]->name, "second");
  EXPECT_EQ(file.members[1]->architecture, "i386");
  EXPECT_FALSE(file.members[1]->has_part21);

  PackageWriter empty;
  empty.add_header_group(bundle);
  empty.add_bundle_list({});
  EXPECT_FALSE(opens(written(empty)));

  for (size_t count : {4096, 4097}) {
    PackageWriter many;
    many.add_header_group(bundle);
    for (size_t i = 0; i < count; ++i) many.add_part(PART_PACKAGE_HEADER, encode_header("m", 1, 2));
    EXPECT_EQ(opens(written(many)), count == 4096);
  }
}

TEST_F(PackageReaderTest, TruncatedPackagesAndBundlesNeverOpenWrongly) {
  HeaderGroup bundle;
  bundle.is_bundle = true;
  bundle.name = "bundle";
  PackageWriter writer;
  writer.add_header_group(bundle);
  writer.add_bundle_list({{"m1", 0, 0, 0}});
  for (const char* name : {"m1", "m2"}) {
    HeaderGroup member = full_group();
    member.name = name;
    writer.add_header_group(member);
    writer.add_image();
    writer.add_archive({{MODE_REGULAR_FILE | 0644, 0, "f", "contents", ""}});
    writer.add_signature(std::string(132, 's'));
  }
  const std::string bytes = written(writer);
  const std::vector<PartSpan> parts = part_spans(bytes);
  ASSERT_EQ(parts.size(), 24u);
  // A member's group is parts 1, 24, 16, 2, 23, 3, 19, 17; a cut between two parts only
  // shortens it, a cut inside a payload that is read breaks it.
  auto inside_group = [&](size_t cut) {
    for (size_t i : {0, 2, 3, 4, 5, 6, 7, 8, 9, 13, 14, 15, 16, 17, 18, 19, 20}) {
      if (cut >= parts[i].at + 6 && cut < parts[i].end) return true;
    }
    return false;
  };
  for (size_t cut = 0; cut < bytes.size(); ++cut) {
    SCOPED_TRACE(cut);
    EXPECT_FALSE(opens(bytes.substr(0, cut)));
    // With the length mended only the parts themselves decide.
    std::string mended = bytes.substr(0, cut);
    if (cut >= 8) store_u32(reinterpret_cast<unsigned char*>(&mended[4]), uint32_t(cut - 8));
    PackageFile file;
    const bool has_first = cut >= parts[2].at + 6;
    const bool opened = open(mended, file);
    ASSERT_EQ(opened, has_first && !inside_group(cut));
    if (opened) {
      EXPECT_EQ(file.members.size(), cut >= parts[13].at + 6 ? 2u : 1u);
    }
  }
}
