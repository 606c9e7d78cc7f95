#include "database/file_reader.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>
#include <istream>
#include <iterator>
#include <utility>
#include <vector>

#include "testing/root_fixture.h"

using FileReaderTest = RootFixture;

// One reader for file after file: contents across several buffer fills, seeks inside and
// outside what is buffered, a directory and a pipe that read as empty, a file that is missing.
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

  // A seek one byte past the buffered 4 KiB is outside them.
  in.clear();
  ASSERT_TRUE(reader.open(host_path("/big")));
  EXPECT_EQ(in.get(), bytes[0] & 0xFF);
  EXPECT_TRUE(in.seekg(4097));
  EXPECT_EQ(in.get(), bytes[4097] & 0xFF);

  in.clear();
  ASSERT_TRUE(reader.open(host_path("/small")));
  int first = 0, second = 0;
  EXPECT_TRUE(in >> first >> second);
  EXPECT_EQ(std::make_pair(first, second), std::make_pair(1, 2));
  in.clear();
  ASSERT_TRUE(reader.open(host_path("/dir")));
  EXPECT_EQ(in.get(), EOF);
  in.clear();
  ASSERT_EQ(::mkfifo(host_path("/fifo").c_str(), 0600), 0);
  ASSERT_TRUE(reader.open(host_path("/fifo")));  // no writer: neither open nor read waits
  EXPECT_EQ(in.get(), EOF);
  in.clear();
  EXPECT_FALSE(reader.open(host_path("/missing")));
  EXPECT_EQ(in.get(), EOF);
}

// A read error in mid-file fails what it cuts, as the standard file buffer's exception does:
// the rest of a number or a line is missing, and must not pass for the file's last one. A
// pseudo-terminal's master fails its reads once the other side is closed.
TEST(FileInputTest, AReadErrorFailsWhatItCuts) {
  const struct {
    const char* sent;
    bool by_line;
    const char* read;
  } cases[] = {{"16909060 12", false, "16909060|"}, {"bin/a\nusr/lib/libfo", true, "bin/a|"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.sent);
    std::vector<bool> was_master(1024);
    for (int fd = 0; fd < 1024; ++fd) was_master[size_t(fd)] = ::ptsname(fd) != nullptr;
    FileInput files;
    std::istream* in = files.open("/dev/ptmx");
    if (!in) GTEST_SKIP() << "no pseudo-terminals here";
    int master = 0;  // the reader's descriptor, the one new master
    while (master < 1024 && (was_master[size_t(master)] || ::ptsname(master) == nullptr)) ++master;
    ASSERT_LT(master, 1024);
    ASSERT_EQ(::unlockpt(master), 0);
    const int terminal = ::open(::ptsname(master), O_RDWR | O_NOCTTY);
    ASSERT_GE(terminal, 0);
    struct termios raw;
    ASSERT_EQ(::tcgetattr(terminal, &raw), 0);
    ::cfmakeraw(&raw);
    ASSERT_EQ(::tcsetattr(terminal, TCSANOW, &raw), 0);
    ASSERT_EQ(::write(terminal, c.sent, std::strlen(c.sent)), ssize_t(std::strlen(c.sent)));
    in->peek();  // the first read takes what was sent; the next one fails
    ::close(terminal);
    std::string read, piece;
    while (c.by_line ? bool(std::getline(*in, piece)) : bool(*in >> piece)) read += piece + "|";
    EXPECT_EQ(read, c.read);
    EXPECT_TRUE(in->bad());
  }
}
