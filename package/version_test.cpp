#include "package/version.h"

#include <gtest/gtest.h>

TEST(VersionText, KindsRevisionsAndUnknownLetters) {
  struct Case {
    Version version;
    const char* text;
  } cases[] = {
      {0x03146302, "3.20rc2"},  {0x01026600, "1.2"},          {0x02056603, "2.5.3"},
      {0x04006207, "4.0beta7"}, {0x0A0C610B, "10.12alpha11"}, {0x01026100, "1.2alpha"},
      {0x01026300, "1.2rc"},    {0x01020605, "1.25"},         {0x01020000, "1.2"},
      {0x00000000, "0.0"},      {0xFFFFFFFF, "255.255255"},   {0xFFFF66FF, "255.255.255"},
  };
  for (const Case& c : cases) EXPECT_EQ(version_text(c.version), c.text) << std::hex << c.version;
}

TEST(VersionText, OrderFollowsTheWord) {
  EXPECT_LT(make_version(6, 48, KIND_BETA, 9), make_version(6, 48, KIND_RC, 1));
  EXPECT_LT(make_version(6, 48, KIND_RC, 9), make_version(6, 48, KIND_FINAL, 0));
  EXPECT_LT(make_version(6, 48, KIND_FINAL, 0), make_version(6, 48, KIND_FINAL, 1));
  EXPECT_EQ(make_version(3, 20, KIND_RC, 2), 0x03146302u);
}
