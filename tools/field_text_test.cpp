#include "tools/field_text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testing/case_file.h"
#include "tools/json_text.h"

TEST(FieldText, ListEntriesTakeRelationsAndRefuseNamesThatWouldNotReadBack) {
  const auto tabbed = [](std::string text) {
    for (size_t at; (at = text.find("\\t")) != std::string::npos;) text.replace(at, 2, "\t");
    return text;
  };
  for (const TestCase& c : read_cases("tools/testdata/relation_forms.txt", {"read?", "refused?"})) {
    SCOPED_TRACE(c.label());
    Dependency entry;
    std::string error;
    if (parse_dependency(tabbed(c.text("case")), entry, error)) {
      EXPECT_EQ(entry.name + " " + bound_text(entry.min) + " " + bound_text(entry.max) + " " +
                    std::to_string(entry.weight),
                c.text("read"));
    } else {
      const std::string refused = tabbed(c.text("refused"));
      EXPECT_FALSE(refused.empty()) << error;
      EXPECT_EQ(error.compare(0, refused.size(), refused), 0) << error;
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
