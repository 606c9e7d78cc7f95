#include "transaction/file_ops.h"

#include <gtest/gtest.h>
#include <libgen.h>
#include <sys/times.h>
#include <unistd.h>

#include <sstream>

namespace {

TEST(ParentDir, DropsTrailingSlashesThenTheLastName) {
  const std::pair<const char*, const char*> cases[] = {
      {"/a/b/", "/a"}, {"/a/b", "/a"}, {"/a", "/"},       {"/", "."},
      {"//", "."},     {"a", "."},     {"/a//b//", "/a"}, {"", "."},
  };
  for (const auto& [path, parent] : cases) EXPECT_EQ(parent_dir(path), parent) << path;
  // Otherwise exactly the C library's dirname, leading "//" and all.
  for (const char* path : {"//a", "///a", "//a/", "a//b", "/a/b//c", "ab/", "/a///", "x//"}) {
    std::string copy = path;
    EXPECT_EQ(parent_dir(path), ::dirname(&copy[0])) << path;
  }
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

// The times system call's clock ticks, read through the C library, bracket it: no sleep,
// and a wrong unit, offset or width shows at once.
TEST(Ticks, CountHundredthsOfASecondFromTheTimesClock) {
  ASSERT_EQ(::sysconf(_SC_CLK_TCK), 100);
  const clock_t before = ::times(nullptr);
  const uint32_t now = ticks();
  const clock_t after = ::times(nullptr);
  ASSERT_NE(before, clock_t(-1));
  EXPECT_LE(now - uint32_t(before + 30000), uint32_t(after - before)) << now << " " << before;
}

}  // namespace
