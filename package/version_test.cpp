#include "package/version.h"

#include <gtest/gtest.h>

#include "package/version_parse.h"

// Words as text, and back: every text but those of words no build writes (an unknown kind
// letter, a zero where the kind goes) reads back as the word it came from.
TEST(VersionText, WordsAndTextsBothWays) {
  const struct {
    Version version;
    const char* text;
    bool reads_back;
  } cases[] = {
      {0x03146302, "3.20rc2", true},      {0x01026600, "1.2", true},
      {0x02056603, "2.5.3", true},        {0x04006207, "4.0beta7", true},
      {0x0A0C610B, "10.12alpha11", true}, {0x01026100, "1.2alpha", true},
      {0x01026300, "1.2rc", true},        {0x06306600, "6.48", true},
      {0x07016204, "7.1beta4", true},     {0xFFFF66FF, "255.255.255", true},
      {0x00006600, "0.0", true},          {0x01020605, "1.25", false},
      {0x01020000, "1.2", false},         {0x00000000, "0.0", false},
      {0xFFFFFFFF, "255.255255", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(version_text(c.version), c.text) << std::hex << c.version;
    Version version = 0;
    if (c.reads_back) {
      EXPECT_TRUE(parse_version_text(c.text, version)) << c.text;
      EXPECT_EQ(version, c.version) << c.text;
    }
  }
  for (const char* bad : {"",        "1",     "1.",        "1.2.",   "1.2.0",     "01.2", "1.02",
                          "256.1",   "1.256", "1.2.256",   "1.2rc0", "1.2gamma3", "1.2 ", " 1.2",
                          "1.2.3.4", "1.2-3", "1.2beta03", "-1.2",   "1.2rc2x",   "1..2"}) {
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
