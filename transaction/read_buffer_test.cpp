#include "transaction/read_buffer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <istream>
#include <iterator>
#include <tuple>
#include <utility>
#include <vector>

#include "testing/root_fixture.h"

using ReadBufferTest = RootFixture;

// One buffer for file after file: contents across several blocks, seeks inside and outside
// what is buffered, a putback across a block's edge, direct reads after buffered ones, and
// what each way of opening takes and refuses.
TEST_F(ReadBufferTest, ReadsSeeksAndOpensFileAfterFile) {
  std::string bytes;
  for (int i = 0; i < 10000; ++i) bytes += char(i * 7 % 251);
  write_file("/big", bytes);
  write_file("/small", "1 2\n");
  make_dirs("/dir");
  ASSERT_EQ(::symlink("small", host_path("/link").c_str()), 0);
  ASSERT_EQ(::mkfifo(host_path("/fifo").c_str(), 0600), 0);
  ReadBuffer buffer(4096);
  std::istream in(&buffer);

  ASSERT_TRUE(buffer.open(host_path("/big"), OpenAs::any_file));
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), bytes);
  // Offset, direction, and where the seek lands (-1 when it fails).
  const std::tuple<std::streamoff, std::ios::seekdir, std::streamoff> seeks[] = {
      {5000, std::ios::beg, 5000}, {10, std::ios::cur, 5011}, {-4000, std::ios::cur, 1012},
      {-3, std::ios::end, 9997},   {2, std::ios::cur, 10000}, {-1, std::ios::beg, -1}};
  for (const auto& [offset, direction, landed] : seeks) {
    SCOPED_TRACE(landed);
    in.clear();
    EXPECT_EQ(bool(in.seekg(offset, direction)), landed >= 0);
    if (landed < 0) continue;
    EXPECT_EQ(in.tellg(), landed);
    EXPECT_EQ(in.get(), landed < 10000 ? bytes[size_t(landed)] & 0xFF : EOF);
  }

  // A seek one byte past the buffered block is outside it; the byte before a new block can
  // be put back; a direct read takes what is buffered first.
  in.clear();
  ASSERT_TRUE(buffer.open(host_path("/big"), OpenAs::any_file));
  EXPECT_EQ(in.get(), bytes[0] & 0xFF);
  EXPECT_TRUE(in.seekg(4097));
  EXPECT_EQ(in.get(), bytes[4097] & 0xFF);
  EXPECT_TRUE(in.seekg(4096 + 4097));
  EXPECT_EQ(in.get(), bytes[8193] & 0xFF);
  EXPECT_TRUE(in.seekg(4096 + 4095));
  in.ignore(2);
  EXPECT_TRUE(in.unget());
  EXPECT_EQ(in.get(), bytes[8192] & 0xFF);
  std::string direct(5000, '\0');
  EXPECT_EQ(buffer.read_all(&direct[0], direct.size()), 10000u - 8193);
  EXPECT_EQ(direct.substr(0, 10000 - 8193), bytes.substr(8193));
  EXPECT_EQ(in.tellg(), 10000);
  ASSERT_TRUE(in.seekg(3));
  EXPECT_EQ(buffer.read_all(&direct[0], 5000), 5000u);
  EXPECT_EQ(direct, bytes.substr(3, 5000));
  EXPECT_EQ(in.get(), bytes[5003] & 0xFF);
  EXPECT_FALSE(buffer.failed());

  // Path, way of opening, the open's error (0 when it opens), and what reads then give.
  const std::tuple<const char*, OpenAs, int, const char*> opens[] = {
      {"/small", OpenAs::any_file, 0, "1 2\n"},   {"/link", OpenAs::any_file, 0, "1 2\n"},
      {"/dir", OpenAs::any_file, 0, ""},          {"/fifo", OpenAs::any_file, 0, ""},
      {"/missing", OpenAs::any_file, ENOENT, ""}, {"/link", OpenAs::regular_file, 0, "1 2\n"},
      {"/dir", OpenAs::regular_file, EINVAL, ""}, {"/fifo", OpenAs::regular_file, EINVAL, ""},
      {"/small", OpenAs::untouched, 0, "1 2\n"},  {"/link", OpenAs::untouched, ELOOP, ""},
  };
  for (const auto& [path, how, error, read] : opens) {
    SCOPED_TRACE(std::string(path) + " as " + std::to_string(int(how)));
    in.clear();
    errno = 0;
    EXPECT_EQ(buffer.open(host_path(path), how), error == 0);
    EXPECT_EQ(error == 0 ? 0 : errno, error);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), read);
    EXPECT_EQ(buffer.failed(), std::string(path) == "/dir" && error == 0);
    EXPECT_EQ(S_ISREG(buffer.status().st_mode), *read != '\0');
  }

  // A borrowed descriptor is read from where it stands and seeks only when it can; close
  // leaves it open.
  const int file = ::open(host_path("/big").c_str(), O_RDONLY);
  ASSERT_GE(file, 0);
  ASSERT_EQ(::lseek(file, 7, SEEK_SET), 7);
  int pipe_ends[2];
  ASSERT_EQ(::pipe(pipe_ends), 0);
  ASSERT_EQ(::write(pipe_ends[1], "piped", 5), 5);
  ::close(pipe_ends[1]);
  ReadBuffer borrowed(4);
  std::istream borrowed_in(&borrowed);
  borrowed.borrow(file);
  EXPECT_EQ(borrowed_in.get(), bytes[7] & 0xFF);
  EXPECT_EQ(borrowed_in.tellg(), 8);
  EXPECT_TRUE(borrowed_in.seekg(-2, std::ios::cur));
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(borrowed_in), {}), bytes.substr(6));
  borrowed.borrow(pipe_ends[0]);
  borrowed_in.clear();
  EXPECT_EQ(borrowed_in.get(), 'p');
  EXPECT_FALSE(borrowed_in.seekg(0, std::ios::cur));
  borrowed_in.clear();
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(borrowed_in), {}), "iped");
  borrowed.close();
  EXPECT_EQ(::close(file), 0);
  EXPECT_EQ(::close(pipe_ends[0]), 0);
}

// A read error in mid-file fails what it cuts, as the standard file buffer's exception does:
// the rest of a number or a line is missing, and must not pass for the file's last one; and
// nothing more is read, even after a seek. A pseudo-terminal's master fails its reads once
// the other side is closed.
TEST(ReadBufferErrors, AReadErrorFailsWhatItCuts) {
  // What is sent, read by lines or by words, and what is read before the error.
  const std::tuple<const char*, bool, const char*> cases[] = {
      {"16909060 12", false, "16909060|"}, {"bin/a\nusr/lib/libfo", true, "bin/a|"}};
  for (const auto& [sent, by_line, expected] : cases) {
    SCOPED_TRACE(sent);
    std::vector<bool> was_master(1024);
    for (int fd = 0; fd < 1024; ++fd) was_master[size_t(fd)] = ::ptsname(fd) != nullptr;
    ReadBuffer buffer(4096);
    std::istream in(&buffer);
    buffer.report_errors_to(in);
    if (!buffer.open("/dev/ptmx", OpenAs::any_file)) GTEST_SKIP() << "no pseudo-terminals here";
    int master = 0;  // the buffer's descriptor, the one new master
    while (master < 1024 && (was_master[size_t(master)] || ::ptsname(master) == nullptr)) ++master;
    ASSERT_LT(master, 1024);
    ASSERT_EQ(::unlockpt(master), 0);
    const int terminal = ::open(::ptsname(master), O_RDWR | O_NOCTTY);
    ASSERT_GE(terminal, 0);
    struct termios raw;
    ASSERT_EQ(::tcgetattr(terminal, &raw), 0);
    ::cfmakeraw(&raw);
    ASSERT_EQ(::tcsetattr(terminal, TCSANOW, &raw), 0);
    ASSERT_EQ(::write(terminal, sent, std::strlen(sent)), ssize_t(std::strlen(sent)));
    in.peek();  // the first read takes what was sent; the next one fails
    ::close(terminal);
    std::string read, piece;
    while (by_line ? bool(std::getline(in, piece)) : bool(in >> piece)) read += piece + "|";
    EXPECT_EQ(read, expected);
    EXPECT_TRUE(in.bad());
    EXPECT_TRUE(buffer.failed());
    in.clear();
    EXPECT_FALSE(in.seekg(0));
    char byte;
    EXPECT_EQ(buffer.read_all(&byte, 1), 0u);
  }
}
