#include "package/relations.h"

#include <gtest/gtest.h>

#include <memory>

#include "testing/case_file.h"
#include "testing/record_text.h"

namespace {

Dependency dep(const std::string& name, Version min = 0, Version max = 0) {
  return Dependency{name, min, max, 0};
}

// A record from its text (see record_text.h); after " + ", one more member with relations
// of its own.
std::unique_ptr<PackageFile> record(const std::string& text) {
  const size_t plus = text.find(" + ");
  std::unique_ptr<PackageFile> made = offer_from(text.substr(0, plus));
  if (plus != std::string::npos) made->members.push_back(offer_from(text.substr(plus + 3)));
  return made;
}

constexpr Version V1 = 0x01006600, V2 = 0x02006600, V3 = 0x03006600;

}  // namespace

TEST(Relations, DisplayNames) {
  PackageInfo system("system");
  system.version = 0x03146302;
  EXPECT_EQ(display_name(system), "system-3.20rc2");
  EXPECT_EQ(display_name(PackageInfo("x")), "x-0.0");
  EXPECT_EQ(display_requirement(dep("wifi")), "wifi");
  EXPECT_EQ(display_requirement(dep("wifi", 0, V2)), "wifi");
  EXPECT_EQ(display_requirement(dep("wifi", V1)), "wifi-1.0");
}

TEST(Relations, SatisfiesOverlapsAndMeetsTreatZeroAsOpen) {
  const auto dhcp = record("dhcp-2.0");
  EXPECT_TRUE(satisfies(*dhcp, dep("dhcp")));
  EXPECT_TRUE(satisfies(*dhcp, dep("dhcp", V2, V2)));
  EXPECT_TRUE(satisfies(*dhcp, dep("dhcp", V1)));
  EXPECT_FALSE(satisfies(*dhcp, dep("dhcp", V3)));
  EXPECT_FALSE(satisfies(*dhcp, dep("dhcp", 0, V1)));
  EXPECT_FALSE(satisfies(*dhcp, dep("dhcpd")));

  EXPECT_TRUE(overlaps(dep("c", V1), dep("c", V2)));          // both open above
  EXPECT_TRUE(overlaps(dep("c", 0, V1), dep("c", 0, V3)));    // both open below
  EXPECT_TRUE(overlaps(dep("c", V1, V2), dep("c", V2, V3)));  // touching
  EXPECT_FALSE(overlaps(dep("c", V3), dep("c", 0, V2)));
  EXPECT_FALSE(overlaps(dep("c", 0, V1), dep("c", V2)));
  EXPECT_FALSE(overlaps(dep("c"), dep("d")));

  // Through the name or what it provides.
  const auto ppp = record("ppp-2.0 gives=dialer>=1.0<=1.0");
  EXPECT_TRUE(meets(*ppp, dep("ppp", V1)));
  EXPECT_TRUE(provides(*ppp, dep("dialer")));
  EXPECT_TRUE(meets(*ppp, dep("dialer", 0, V2)));
  EXPECT_FALSE(meets(*ppp, dep("dialer", V2)));
  EXPECT_FALSE(meets(*ppp, dep("ppp", V3)));
}

TEST(Relations, RequiresConflictsAndCompare) {
  for (const TestCase& c : read_cases("package/testdata/relations.txt",
                                      {"a", "b", "requires?", "conflicts?", "compare?"})) {
    SCOPED_TRACE(c.label());
    const auto a = record(c.text("a")), b = record(c.text("b"));
    EXPECT_EQ(c.values.size(), 4u) << "one relation per case";
    const auto said = [](bool holds) { return std::string(holds ? "yes" : "no"); };
    const std::string found = c.values.count("requires")    ? said(requires(*a, *b))
                              : c.values.count("conflicts") ? said(conflicts(*a, *b))
                                                            : std::to_string(compare(*a, *b));
    EXPECT_EQ(found, c.text("requires") + c.text("conflicts") + c.text("compare"));
  }
  const auto bundle = record("suite-3.0 members=wifi-1.0"), wifi = record("wifi-2.0");
  EXPECT_EQ(compare_directed(*bundle, *wifi, true), 1);
  EXPECT_EQ(compare_directed(*bundle, *wifi, false), -1);
  EXPECT_TRUE(is_placeholder(*record("wifi-1.0 placeholder")));
  EXPECT_FALSE(is_placeholder(*record("wifi-1.0 placeholder built=0")));
}

TEST(Relations, ContainsName) {
  const auto bundle = record("suite-1.0 members=wifi-1.0");
  EXPECT_TRUE(contains_name(*bundle, "suite"));
  EXPECT_TRUE(contains_name(*bundle, "wifi"));
  EXPECT_FALSE(contains_name(*bundle, "wif"));
}
