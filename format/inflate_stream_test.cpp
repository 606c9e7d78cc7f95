#include "format/inflate_stream.h"

#include <gtest/gtest.h>

#include <iterator>
#include <sstream>

#include "authoring/package_writer.h"
#include "format/part_stream.h"
#include "testing/test_packages.h"

namespace {

// Compressible but never repeating quickly, so areas hold different bytes.
std::string text(size_t size) {
  std::string bytes;
  for (size_t i = 0; bytes.size() < size; ++i) bytes += std::to_string(i * i) + ",";
  return bytes.substr(0, size);
}

int byte_at(const std::string& bytes, size_t index) { return (unsigned char)bytes[index]; }

std::string package(const std::string& archive) {
  PackageWriter writer;
  writer.add_part(PART_ARCHIVE, archive);
  writer.add_signature(std::string(68, 's'));
  return written(writer);
}

// An archive part holding `payload`, read the way installation reads it.
struct Archive {
  explicit Archive(const std::string& payload) : in(package(payload)), stream(in, true) {
    stream.accepted_types = {PART_ARCHIVE, PART_SIGNATURE};
    EXPECT_EQ(stream.next_part(), PART_ARCHIVE);
  }
  std::istringstream in;
  PartStream stream;
  InflateStream inflate{stream};
};

std::string inflated(const std::string& payload) {
  Archive archive(payload);
  return std::string(std::istreambuf_iterator<char>(archive.inflate), {});
}

}  // namespace

TEST(InflateStreamTest, ReadsAcrossAreasWithPutbackAtTheBoundaryAndSkipsForwardOnly) {
  const std::string data = text(30000);
  Archive archive(zlib_compress(data));
  InflateStream& inflate = archive.inflate;
  std::string got(4095, '\0');
  ASSERT_TRUE(inflate.read(&got[0], 4095));
  EXPECT_EQ(inflate.get(), byte_at(data, 4095));  // the last byte of the first area
  EXPECT_TRUE(inflate.unget());
  EXPECT_EQ(inflate.get(), byte_at(data, 4095));
  EXPECT_EQ(inflate.get(), byte_at(data, 4096));  // after a refill
  EXPECT_TRUE(inflate.unget() && inflate.unget());
  for (size_t i = 4095; i < 8193; ++i) got += char(inflate.get());
  EXPECT_FALSE(inflate.seekg(-1, std::ios::cur));
  inflate.clear();
  EXPECT_TRUE(inflate.seekg(5000, std::ios::cur));
  EXPECT_EQ(inflate.get(), byte_at(data, 13193));
  EXPECT_TRUE(inflate.seekg(20000));  // from the beginning: a skip forward
  EXPECT_EQ(inflate.tellg(), 20000);
  got += data.substr(8193, 20000 - 8193);
  std::string rest(data.size() - got.size(), '\0');
  ASSERT_TRUE(inflate.read(&rest[0], std::streamsize(rest.size())));
  EXPECT_EQ(got + rest, data);
  EXPECT_FALSE(inflate.seekg(1, std::ios::cur));  // past the end
  inflate.clear();
  EXPECT_EQ(inflate.get(), EOF);
  EXPECT_EQ(archive.stream.next_part(), PART_SIGNATURE);
}

TEST(InflateStreamTest, DataEndsWithTheZlibStreamAndCorruptOrCutDataComesUpShort) {
  for (const std::string& data : {std::string(), text(10000)}) {
    EXPECT_EQ(inflated(zlib_compress(data) + "garbage after the end"), data);
  }
  const std::string data = text(50000);
  const std::string compressed = zlib_compress(data);
  std::string damaged = compressed;
  damaged.replace(damaged.size() / 2, 16, 16, '\xff');
  for (const std::string& payload : {damaged, compressed.substr(0, 0), compressed.substr(0, 1),
                                     compressed.substr(0, compressed.size() / 2)}) {
    EXPECT_LT(inflated(payload).size(), data.size()) << payload.size();
  }
  // A flipped byte is either refused by zlib or shows in the data, and the data ends.
  for (size_t at = 0; at < compressed.size(); at += 5) {
    std::string flipped = compressed;
    flipped[at] = char(flipped[at] ^ 0x5A);
    EXPECT_NE(inflated(flipped).substr(0, data.size()), data) << at;
  }
}
