#include "transaction/file_ops.h"

#include <sys/stat.h>
#include <unistd.h>

#include <iostream>
#include <sstream>

#include "testing/root_fixture.h"
#include "transaction/test_files.h"

namespace {

TEST(ParentDir, DropsTrailingSlashesThenTheLastName) {
  const std::pair<const char*, const char*> cases[] = {
      {"/a/b/", "/a"}, {"/a/b", "/a"}, {"/a", "/"},       {"/", "."},
      {"//", "."},     {"a", "."},     {"/a//b//", "/a"}, {"", "."},
  };
  for (const auto& [path, parent] : cases) EXPECT_EQ(parent_dir(path), parent) << path;
}

TEST(Spinner, TurnsAtMostOncePerTwentyTicks) {
  Spinner spinner;
  std::ostringstream out;
  const std::pair<uint32_t, const char*> steps[] = {
      {1000, "|"},    {1010, ""},    {1020, ""},     // 20 ticks are not enough
      {1021, "\b/"},  {1041, "\b-"},                 // the clock now stands at 1040
      {1200, "\b\\"}, {1200, "\b|"}, {1200, "\b/"},  // catching up by steps of 20
  };
  for (const auto& [now, printed] : steps) {
    out.str("");
    spinner.advance(now, out);
    EXPECT_EQ(out.str(), printed) << "at tick " << now;
  }
}

TEST(Ticks, CountHundredthsOfASecond) {
  const uint32_t before = ticks();
  ::usleep(300000);
  const uint32_t elapsed = ticks() - before;
  EXPECT_GE(elapsed, 25u);
  EXPECT_LT(elapsed, 1000u);
}

class FileOpsTest : public RootFixture {};

TEST_F(FileOpsTest, CopyFileCopiesRegularFilesOnly) {
  std::string big;
  for (int i = 0; big.size() < 40000; ++i) big += std::to_string(i) + ",";
  write_file("/ram/big", big, 0640);
  write_file("/flash/big", std::string(50000, 'x'));  // longer, so truncation shows
  make_dirs("/ram/dir");
  const RunResult run = run_in_root([] {
    std::cout << copy_file("/ram/big", "/flash/big", false)
              << copy_file("/ram/big", "/flash/fresh", false)
              << copy_file("/ram/dir", "/flash/dir", false)
              << copy_file("/ram/missing", "/flash/missing", false)
              << copy_file("/ram/big", "/flash/no/such/dir/big", false);
    return 0;
  });
  EXPECT_EQ(run.out, "11000");
  EXPECT_EQ(read_file("/flash/big"), big);
  EXPECT_EQ(read_file("/ram/big"), big);
  struct stat info;
  ASSERT_EQ(::stat(host_path("/flash/fresh").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0640u);
  EXPECT_FALSE(exists("/flash/dir"));
  EXPECT_FALSE(exists("/flash/missing"));
}

}  // namespace
