#include "transaction/file_ops.h"

#include <gtest/gtest.h>
#include <libgen.h>
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

TEST(Ticks, CountHundredthsOfASecond) {
  const uint32_t before = ticks();
  ::usleep(300000);
  const uint32_t elapsed = ticks() - before;
  EXPECT_GE(elapsed, 25u);
  EXPECT_LT(elapsed, 1000u);
}

}  // namespace
