#include "package/version_parse.h"

#include <gtest/gtest.h>

namespace {

TEST(ParseVersionText, IsTheInverseOfVersionText) {
  const struct {
    const char* text;
    Version version;
  } good[] = {
      {"3.20rc2", 0x03146302}, {"1.2.3", 0x01026603},    {"4.0beta7", 0x04006207},
      {"6.48", 0x06306600},    {"2.1alpha", 0x02016100}, {"255.255.255", 0xFFFF66FF},
      {"0.0", 0x00006600},     {"7.1beta4", 0x07016204},
  };
  for (const auto& test : good) {
    Version version = 0;
    EXPECT_TRUE(parse_version_text(test.text, version)) << test.text;
    EXPECT_EQ(version, test.version) << test.text;
    EXPECT_EQ(version_text(version), test.text);
  }
  for (const char* bad : {"",        "1",     "1.",        "1.2.",   "1.2.0",     "01.2", "1.02",
                          "256.1",   "1.256", "1.2.256",   "1.2rc0", "1.2gamma3", "1.2 ", " 1.2",
                          "1.2.3.4", "1.2-3", "1.2beta03", "-1.2",   "1.2rc2x",   "1..2"}) {
    Version version = 0;
    EXPECT_FALSE(parse_version_text(bad, version)) << '"' << bad << '"';
  }
}

}  // namespace
