#include "tools/field_text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/json_text.h"

// List entries as people type them: the relation forms and the key form, and what the
// installer could not read back or would read as something else.
TEST(FieldText, ListEntriesTakeRelationsAndRefuseNamesThatWouldNotReadBack) {
  const struct {
    const char* text;
    const char* read;  // "name min max weight", or the start of the message
  } cases[] = {
      {"netd", "netd 0 0 0"},
      {"netd>=1.0", "netd 1.0 0 0"},
      {"netd<=2.0rc1", "netd 0 2.0rc1 0"},
      {"netd=1.2.3", "netd 1.2.3 1.2.3 0"},
      {"netd>=1.0,max=2.0,weight=-3", "netd 1.0 2.0 -3"},
      {"netd,min=1.0,max=0", "netd 1.0 0 0"},
      {"netd>=1.0,min=1.1", "bad entry \"netd>=1.0,min=1.1\" (expected NAME, NAME>=V"},
      {"netd=1.0,max=2.0", "bad entry"},
      {"netd>1.0", "bad entry"},
      {"netd=>1.0", "bad version \">1.0\""},
      {"netd>=", "bad version \"\""},
      {"netd,size=1", "bad entry"},
      {"netd,weight=x", "bad weight \"x\""},
      {"0123456789abcdef", "0123456789abcdef 0 0 0"},
      {"0123456789abcdefg>=1.0", "name \"0123456789abcdefg\" has 17 bytes (a name has 1 to 16"},
      {">=1.0", "name \"\" has 0 bytes"},
      {"my pkg", "name \"my pkg\" is refused (a name has"},
      {"a/b", "name \"a/b\" is refused"},
      {"tab\t", "name \"tab\t\" is refused"},
      {"..", "name \"..\" is not a package name"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    Dependency entry;
    std::string error;
    if (parse_dependency(c.text, entry, error)) {
      EXPECT_EQ(entry.name + " " + bound_text(entry.min) + " " + bound_text(entry.max) + " " +
                    std::to_string(entry.weight),
                c.read);
    } else {
      EXPECT_EQ(error.compare(0, std::string(c.read).size(), c.read), 0) << error;
    }
  }
}

// Whatever bytes a package carries, --json output stays valid JSON.
TEST(FieldText, JsonStringsEscapeWhatJsonCannotCarry) {
  const std::pair<std::string, std::string> cases[] = {
      {"plain", "\"plain\""},
      {"a\"b\\c\nd\te", "\"a\\\"b\\\\c\\nd\\te\""},
      {std::string("nul\0\x1f\x7f", 6), "\"nul\\u0000\\u001f\\u007f\""},
      {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80",
       "\"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80\""},
      {"cut \xc3", "\"cut \\u00c3\""},
      {"overlong \xc0\xaf \xe0\x80\xaf", "\"overlong \\u00c0\\u00af \\u00e0\\u0080\\u00af\""},
      {"surrogate \xed\xa0\x80", "\"surrogate \\u00ed\\u00a0\\u0080\""},
      {"too high \xf4\x90\x80\x80", "\"too high \\u00f4\\u0090\\u0080\\u0080\""},
  };
  for (const auto& [text, json] : cases) EXPECT_EQ(json_string(text), json) << json;
}
