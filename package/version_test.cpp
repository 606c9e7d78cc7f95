#include "package/version.h"

#include <gtest/gtest.h>

#include <sstream>

#include "package/version_parse.h"
#include "testing/case_file.h"

TEST(VersionText, WordsAndTextsBothWays) {
  for (const TestCase& c :
       read_cases("package/testdata/versions.txt", {"reads*", "writes*", "refused*"})) {
    SCOPED_TRACE(c.label());
    for (const char* key : {"reads", "writes"}) {
      for (const std::string& line : c.list(key)) {
        std::istringstream in(line);
        Version word = 0, read = 0;
        std::string equals, text;
        ASSERT_TRUE(in >> std::hex >> word >> equals >> text && equals == "=") << line;
        EXPECT_EQ(version_text(word), text) << line;
        EXPECT_EQ(parse_version_text(text, read) && read == word, key[0] == 'r') << line;
      }
    }
    for (const std::string& text : c.list("refused")) {
      Version version = 0;
      EXPECT_FALSE(parse_version_text(text, version)) << text;
    }
  }
  for (const char* bad : {"", "1.2 ", " 1.2"}) {  // blanks a case file cannot hold
    Version version = 0;
    EXPECT_FALSE(parse_version_text(bad, version)) << '"' << bad << '"';
  }
}

TEST(VersionText, OrderFollowsTheWord) {
  EXPECT_LT(make_version(6, 48, KIND_BETA, 9), make_version(6, 48, KIND_RC, 1));
  EXPECT_LT(make_version(6, 48, KIND_RC, 9), make_version(6, 48, KIND_FINAL, 0));
  EXPECT_LT(make_version(6, 48, KIND_FINAL, 0), make_version(6, 48, KIND_FINAL, 1));
  EXPECT_EQ(make_version(3, 20, KIND_RC, 2), 0x03146302u);
}
