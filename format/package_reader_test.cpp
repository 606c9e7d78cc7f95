#include "format/package_reader.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>
#include <tuple>

#include "authoring/package_writer.h"
#include "crypto/little_endian.h"
#include "testing/root_fixture.h"
#include "testing/test_packages.h"

namespace {

HeaderGroup full_group() {
  HeaderGroup group =
      header_group("sixteen-chars-ab", make_version(6, 48, KIND_FINAL, 1), 1700000000);
  group.header_flags = 3;
  group.text_part24 = "t24";
  group.architecture = "powerpc";
  group.text_part2 = "t2";
  group.note = "note";
  group.depends = std::vector<Dependency>{{"dep-sixteen-char", 1, 2, 9}, {"other", 0, 0, 0}};
  group.provides = std::vector<Dependency>{{"cap", 0, 0, -5}};
  group.conflicts = std::vector<Dependency>{};
  return group;
}

// Offsets of the part headers, then the end of the file.
std::vector<size_t> part_starts(const std::string& bytes) {
  std::vector<size_t> starts;
  const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
  for (size_t at = 8; at < bytes.size(); at += 6 + load_u32(data + at + 2)) starts.push_back(at);
  starts.push_back(bytes.size());
  return starts;
}

// A package of raw parts: a header part holding `header`, then `parts`, then a signature.
std::string package(const std::string& header,
                    const std::vector<std::pair<uint16_t, std::string>>& parts = {}) {
  PackageWriter writer;
  writer.add_part(PART_PACKAGE_HEADER, header);
  for (const auto& [type, payload] : parts) writer.add_part(type, payload);
  writer.add_signature(std::string(68, 's'));
  return written(writer);
}

// A bundle with an image and a member list, then a member with every header field and an
// image, and a member "second" with a bare header.
std::string bundle_bytes() {
  HeaderGroup first = full_group(), second = header_group("second", 0, 0);
  PackageWriter writer;
  writer.add_header_group(header_group("bundle", 7, 0, true));
  writer.add_image();
  writer.add_bundle_list({{first.name, 0, 0, 0}, {"second", 0, 0, 0}});
  for (const HeaderGroup* member : {&first, &second}) {
    writer.add_header_group(*member);
    if (member == &first) writer.add_image();
    writer.add_archive({{MODE_REGULAR_FILE | 0644, 0, "f", "contents", ""}});
    writer.add_signature(std::string(132, 's'));
  }
  return written(writer);
}

// The header fields not at their defaults, named, on one line.
std::string fields(const PackageInfo& info) {
  std::ostringstream out;
  out << (info.is_bundle ? "bundle " : "package ") << info.name << " version=" << info.version
      << " built=" << info.build_time;
  if (info.header_flags != 0) out << " flags=" << info.header_flags;
  for (const auto& [name, text] : {std::pair{" t24=", &info.text_part24},
                                   {" arch=", &info.architecture},
                                   {" t2=", &info.text_part2},
                                   {" t23=", &info.note}}) {
    if (!text->empty()) out << name << *text;
  }
  if (info.has_image_part) out << " part21";
  for (const auto& [name, list] : {std::pair{" depends=", &info.depends},
                                   {" provides=", &info.provides},
                                   {" conflicts=", &info.conflicts}}) {
    if (!list->empty()) out << name;
    for (const Dependency& entry : *list) {
      out << entry.name << "/" << entry.min << "/" << entry.max << "/" << entry.weight << ";";
    }
  }
  return out.str();
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

// A bundle and its members with every header field; a group that ends at its first part out
// of order; the trailer after the signature, which belongs to no group; flags need all four
// bytes.
TEST_F(PackageReaderTest, HeaderGroupsGiveTheirFieldsUpToTheirEnd) {
  const std::string bytes = bundle_bytes();
  PackageFile file;
  ASSERT_TRUE(open(bytes, file));
  EXPECT_EQ(file.size, bytes.size());
  EXPECT_FALSE(file.is_unrecorded);
  EXPECT_EQ(fields(file), "bundle bundle version=7 built=0 arch=i386 part21");
  ASSERT_EQ(file.members.size(), 2u);
  EXPECT_EQ(
      fields(*file.members[0]),
      "package sixteen-chars-ab version=" + std::to_string(make_version(6, 48, KIND_FINAL, 1)) +
          " built=1700000000 flags=3 t24=t24 arch=powerpc t2=t2 t23=note part21"
          " depends=dep-sixteen-char/1/2/9;other/0/0/0; provides=cap/0/0/-5;");
  EXPECT_EQ(fields(*file.members[1]), "package second version=0 built=0 arch=i386");

  PackageFile group;
  ASSERT_TRUE(open(
      package(encode_header("pkg", 1, 2) + "xyz", {{PART_ARCHITECTURE, "mipsbe"},
                                                   {PART_TEXT24, "late"},
                                                   {PART_DEPENDS, encode_list({{"dep", 0, 0, 0}})},
                                                   {PART_IMAGE, ""}}),
      group));
  EXPECT_EQ(fields(group), "package pkg version=1 built=2 arch=mipsbe");

  PackageWriter trailed(UNRECORDED_MAGIC);
  trailed.add_part(PART_PACKAGE_HEADER, encode_header("pkg", 1, 2));
  trailed.add_signature(std::string(68, 's'));
  trailed.add_part(PART_ARCHITECTURE, "trailer");
  trailed.add_part(PART_DEPENDS, "");
  PackageFile bare;
  ASSERT_TRUE(open(written(trailed), bare));
  EXPECT_EQ(fields(bare), "package pkg version=1 built=2 arch=i386");
  EXPECT_TRUE(bare.is_unrecorded);

  const std::string header = encode_header("pkg", 1, 2, 0x01020304) + "more";
  for (size_t size : {31, 32, 33, 35, 36, 40}) {
    PackageFile flagged;
    EXPECT_EQ(open(package(header.substr(0, size)), flagged), size >= 32) << size;
    EXPECT_EQ(flagged.header_flags, size >= 36 ? 0x01020304u : 0u) << size;
  }
}

TEST_F(PackageReaderTest, HeaderFlagsArriveThroughAPipe) {
  const std::string bytes = package(encode_header("pkg", 1, 2, 5));
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

// A package name becomes a directory of the database; list entries need only be tokens.
TEST_F(PackageReaderTest, UnsafeNamesAndLengthsNoPackageHasAreRefused) {
  for (const char* name : {"", ".", "..", "a/b", "/", "a b", "a\tb", "a\nb", "a\x01", "\x7f"}) {
    EXPECT_FALSE(opens(package(encode_header(name, 1, 2)))) << name;
  }
  EXPECT_TRUE(opens(package(encode_header("a.b-c_d+\xc3\xa9", 1, 2))));
  const std::string list = encode_list({{"a", 0, 0, 0}, {"b", 0, 0, 0}});
  const auto entry = [](const char* name) { return encode_list({{name, 0, 0, 0}}); };
  // A part after the header, and whether the package opens.
  const std::tuple<uint16_t, std::string, bool> cases[] = {
      {PART_PROVIDES, entry("x/y"), true},
      {PART_PROVIDES, entry(".."), true},
      {PART_PROVIDES, entry(""), false},
      {PART_PROVIDES, entry("a b"), false},
      {PART_PROVIDES, entry("a\tb"), false},
      {PART_PROVIDES, entry("x\x7f"), false},
      {PART_NOTE, std::string(65536, 'n'), true},
      {PART_NOTE, std::string(65537, 'n'), false},
      {PART_DEPENDS, list + "trailing", true},
      {PART_DEPENDS, list.substr(0, 65), false},
      {PART_DEPENDS, list.substr(0, 1), false},
      {PART_CONFLICTS, std::string("\xff\xff", 2) + list.substr(2), false},
  };
  for (const auto& [type, payload, opened] : cases) {
    EXPECT_EQ(opens(package(encode_header("pkg", 1, 2), {{type, payload}})), opened)
        << type << " " << payload.size() << " " << payload.substr(0, 20);
  }
}

TEST_F(PackageReaderTest, BundlesHoldOneTo4096Members) {
  PackageWriter empty;
  empty.add_header_group(header_group("bundle", 7, 0, true));
  empty.add_bundle_list({});
  EXPECT_FALSE(opens(written(empty)));
  for (size_t count : {4096, 4097}) {
    PackageWriter many;
    many.add_header_group(header_group("bundle", 7, 0, true));
    for (size_t i = 0; i < count; ++i) many.add_part(PART_PACKAGE_HEADER, encode_header("m", 1, 2));
    EXPECT_EQ(opens(written(many)), count == 4096);
  }
}

TEST_F(PackageReaderTest, TruncatedPackagesAndBundlesNeverOpenWrongly) {
  const std::string bytes = bundle_bytes();
  const std::vector<size_t> parts = part_starts(bytes);
  ASSERT_EQ(parts.size(), 18u);
  // Parts 0 (bundle header), 3 to 10 (the first member's group) and 14 (the second member's
  // header) are read: a cut inside one breaks the bundle, a cut elsewhere only shortens it.
  auto inside_group = [&](size_t cut) {
    for (size_t i : {0, 3, 4, 5, 6, 7, 8, 9, 10, 14}) {
      if (cut >= parts[i] + 6 && cut < parts[i + 1]) return true;
    }
    return false;
  };
  EXPECT_FALSE(opens(bytes + "x"));  // longer than declared
  for (size_t cut = 0; cut < bytes.size(); ++cut) {
    SCOPED_TRACE(cut);
    EXPECT_FALSE(opens(bytes.substr(0, cut)));
    // With the length mended only the parts themselves decide.
    std::string mended = bytes.substr(0, cut);
    if (cut >= 8) store_u32(reinterpret_cast<unsigned char*>(&mended[4]), uint32_t(cut - 8));
    PackageFile file;
    const bool has_first = cut >= parts[3] + 6;
    const bool opened = open(mended, file);
    ASSERT_EQ(opened, has_first && !inside_group(cut));
    if (opened) {
      EXPECT_EQ(file.members.size(), cut >= parts[14] + 6 ? 2u : 1u);
    }
  }
}
