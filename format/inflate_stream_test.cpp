#include "format/inflate_stream.h"

#include <gtest/gtest.h>

#include <limits>
#include <memory>
#include <sstream>

#include "format/package_writer.h"
#include "format/part_stream.h"

namespace {

// Compressible but never repeating quickly, so areas hold different bytes.
std::string text(size_t size) {
  std::string bytes;
  for (size_t i = 0; bytes.size() < size; ++i) bytes += std::to_string(i * i) + ",";
  return bytes.substr(0, size);
}

int byte_at(const std::string& bytes, size_t index) { return (unsigned char)bytes[index]; }

// An archive part holding `payload`, read the way installation reads it.
class Archive {
 public:
  explicit Archive(const std::string& payload) {
    PackageWriter writer;
    writer.add_part(PART_ARCHIVE, payload);
    writer.add_signature(std::string(68, 's'));
    std::ostringstream out;
    EXPECT_TRUE(writer.write(out));
    in_.str(out.str());
    stream_ = std::make_unique<PartStream>(in_, true);
    stream_->accepted_types = {PART_ARCHIVE, PART_SIGNATURE};
    EXPECT_EQ(stream_->next_part(), PART_ARCHIVE);
  }
  PartStream& stream() { return *stream_; }

 private:
  std::istringstream in_;
  std::unique_ptr<PartStream> stream_;
};

}  // namespace

TEST(InflateStreamTest, EmptyStreamEndsAtTheFirstRead) {
  Archive archive(zlib_compress(""));
  InflateStream inflate(archive.stream());
  EXPECT_TRUE(inflate.seekg(0, std::ios::cur));
  EXPECT_EQ(archive.stream().tellg(), 0);  // a seek of 0 reads nothing
  EXPECT_EQ(inflate.get(), EOF);
  EXPECT_TRUE(inflate.eof());
}

TEST(InflateStreamTest, ReadsAcrossAreasWithPutbackAtTheBoundary) {
  const std::string data = text(3 * 4096 + 100);
  Archive archive(zlib_compress(data));
  InflateStream inflate(archive.stream());
  std::string got(4095, '\0');
  ASSERT_TRUE(inflate.read(&got[0], 4095));
  EXPECT_EQ(inflate.get(), byte_at(data, 4095));  // the last byte of the first area
  EXPECT_TRUE(inflate.unget());
  EXPECT_EQ(inflate.get(), byte_at(data, 4095));
  EXPECT_EQ(inflate.get(), byte_at(data, 4096));  // after a refill
  EXPECT_TRUE(inflate.unget() && inflate.unget());
  for (size_t i = 4095; i < 8193; ++i) got += char(inflate.get());
  std::string rest(data.size() - got.size(), '\0');
  ASSERT_TRUE(inflate.read(&rest[0], std::streamsize(rest.size())));
  EXPECT_EQ(got + rest, data);
  EXPECT_EQ(inflate.get(), EOF);
  EXPECT_EQ(archive.stream().next_part(), PART_SIGNATURE);
}

TEST(InflateStreamTest, GarbageAfterTheStreamIsNeverDelivered) {
  const std::string data = text(10000);
  Archive archive(zlib_compress(data) + "garbage after the end");
  InflateStream inflate(archive.stream());
  std::string got(data.size() + 100, '\0');
  inflate.read(&got[0], std::streamsize(got.size()));
  EXPECT_EQ(inflate.gcount(), std::streamsize(data.size()));
  EXPECT_EQ(got.substr(0, data.size()), data);
  inflate.clear();
  EXPECT_EQ(inflate.get(), EOF);
}

TEST(InflateStreamTest, CorruptOrCutDataComesUpShort) {
  const std::string data = text(50000);
  const std::string compressed = zlib_compress(data);
  std::string got(data.size(), '\0');
  auto read_all = [&](const std::string& payload) {
    Archive archive(payload);
    InflateStream inflate(archive.stream());
    return bool(inflate.read(&got[0], std::streamsize(got.size())));
  };
  std::string damaged = compressed;
  damaged.replace(damaged.size() / 2, 16, 16, '\xff');
  EXPECT_FALSE(read_all(damaged));
  for (size_t size : {size_t(0), size_t(1), compressed.size() / 2}) {
    EXPECT_FALSE(read_all(compressed.substr(0, size))) << size;
  }
  // A flipped byte is either refused by zlib or shows in the data, and the data ends.
  for (size_t at = 0; at < compressed.size(); at += 5) {
    std::string flipped = compressed;
    flipped[at] = char(flipped[at] ^ 0x5A);
    EXPECT_FALSE(read_all(flipped) && got == data) << at;
    Archive archive(flipped);
    InflateStream inflate(archive.stream());
    inflate.ignore(std::numeric_limits<std::streamsize>::max());
    EXPECT_TRUE(inflate.eof()) << at;
  }
}

TEST(InflateStreamTest, RelativeSeeksSkipForwardOnly) {
  const std::string data = text(9000);
  Archive archive(zlib_compress(data));
  InflateStream inflate(archive.stream());
  EXPECT_TRUE(inflate.seekg(5000, std::ios::cur));
  EXPECT_EQ(inflate.get(), byte_at(data, 5000));
  EXPECT_EQ(inflate.tellg(), 5001);
  EXPECT_FALSE(inflate.seekg(-1, std::ios::cur));
  inflate.clear();
  EXPECT_FALSE(inflate.seekg(0, std::ios::end));
  inflate.clear();
  EXPECT_EQ(inflate.get(), byte_at(data, 5001));
  EXPECT_FALSE(inflate.seekg(std::streamoff(data.size()), std::ios::cur));
  inflate.clear();
  EXPECT_EQ(inflate.get(), EOF);
}
