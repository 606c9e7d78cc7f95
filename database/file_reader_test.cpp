#include "database/file_reader.h"

#include <gtest/gtest.h>

#include <istream>
#include <iterator>

#include "testing/root_fixture.h"

using FileReaderTest = RootFixture;

// One reader for file after file: contents across several buffer fills, seeks inside and
// outside what is buffered, a directory that reads as empty and a file that is missing.
TEST_F(FileReaderTest, ReadsAndSeeksFileAfterFile) {
  std::string bytes;
  for (int i = 0; i < 10000; ++i) bytes += char(i * 7 % 251);
  write_file("/big", bytes);
  write_file("/small", "1 2\n");
  make_dirs("/dir");
  FileReader reader;
  std::istream in(&reader);

  ASSERT_TRUE(reader.open(host_path("/big")));
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), bytes);
  in.clear();
  const struct {
    std::streamoff offset;
    std::ios::seekdir direction;
    std::streamoff landed;
  } seeks[] = {{5000, std::ios::beg, 5000}, {10, std::ios::cur, 5011}, {-4000, std::ios::cur, 1012},
               {-3, std::ios::end, 9997},   {2, std::ios::cur, 10000}, {-1, std::ios::beg, -1}};
  for (const auto& seek : seeks) {
    SCOPED_TRACE(seek.landed);
    in.clear();
    EXPECT_EQ(bool(in.seekg(seek.offset, seek.direction)), seek.landed >= 0);
    if (seek.landed < 0) continue;
    EXPECT_EQ(in.tellg(), seek.landed);
    EXPECT_EQ(in.get(), seek.landed < 10000 ? bytes[size_t(seek.landed)] & 0xFF : EOF);
  }

  in.clear();
  ASSERT_TRUE(reader.open(host_path("/small")));
  int first = 0, second = 0;
  EXPECT_TRUE(in >> first >> second);
  EXPECT_EQ(first * 10 + second, 12);
  in.clear();
  ASSERT_TRUE(reader.open(host_path("/dir")));
  EXPECT_EQ(in.get(), EOF);
  in.clear();
  EXPECT_FALSE(reader.open(host_path("/missing")));
  EXPECT_EQ(in.get(), EOF);
}
