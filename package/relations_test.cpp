#include "package/relations.h"

#include <gtest/gtest.h>

#include <memory>

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

// requires(a, b), conflicts(a, b) and compare(a, b), looking into bundle members on both sides.
TEST(Relations, RequiresConflictsAndCompare) {
  const struct Row {
    const char* name;
    const char* relation;
    const char* a;
    const char* b;
    int expected;
  } rows[] = {
      {"needs", "requires", "app-1.0 needs=lib>=1.0", "lib-2.0", 1},
      {"needed", "requires", "lib-2.0", "app-1.0 needs=lib>=1.0", 0},
      {"needs a member", "requires", "app-1.0 needs=lib>=1.0", "suite-1.0 members=lib-2.0", 1},
      {"member needs", "requires", "apps-1.0 members=other-1.0 + app-1.0 needs=lib>=1.0", "lib-2.0",
       1},
      {"member needed", "requires", "lib-2.0",
       "apps-1.0 members=other-1.0 + app-1.0 needs=lib>=1.0", 0},
      {"listed", "conflicts", "a-1.0 excludes=b>=2.0", "b-2.0", 1},
      {"listed, other side", "conflicts", "b-2.0", "a-1.0 excludes=b>=2.0", 0},
      // Two providers of one capability: the heavier excludes the lighter, equal ones neither.
      {"heavier", "conflicts", "heavy-1.0 gives=dns@1", "light-1.0 gives=dns@0", 1},
      {"lighter", "conflicts", "light-1.0 gives=dns@0", "heavy-1.0 gives=dns@1", 0},
      {"equal", "conflicts", "heavy-1.0 gives=dns@0", "light-1.0 gives=dns@0", 0},
      {"equal, other side", "conflicts", "light-1.0 gives=dns@0", "heavy-1.0 gives=dns@0", 0},
      // Providing another package's name: non-negative weight excludes it, negative yields.
      {"replaces", "conflicts", "new-dns-1.0 gives=old-dns@0", "old-dns-1.0", 1},
      {"replaced", "conflicts", "old-dns-1.0", "new-dns-1.0 gives=old-dns@0", 0},
      {"yields", "conflicts", "new-dns-1.0 gives=old-dns@-1", "old-dns-1.0", 0},
      {"yielded to", "conflicts", "old-dns-1.0", "new-dns-1.0 gives=old-dns@-1", 1},
      {"excludes what it provides", "conflicts", "firewall-1.0 excludes=filter",
       "ipt-1.0 gives=filter>=1.0", 1},
      {"bundle carries its own", "conflicts", "wifi-2.0", "suite-1.0 members=wifi-1.0", 1},
      {"member excludes", "conflicts", "suite2-1.0 + m-1.0 excludes=wifi", "wifi-2.0", 1},
      {"placeholder excluded", "conflicts", "hater-1.0 excludes=wifi", "wifi-1.0 placeholder", 0},
      {"placeholder excludes", "conflicts", "wifi-1.0 placeholder excludes=hater",
       "hater-1.0 excludes=wifi", 0},
      {"placeholder version only", "conflicts", "wifi-1.0 placeholder built=0 excludes=hater",
       "hater-1.0 excludes=wifi", 1},
      {"newer", "compare", "a-2.0", "a-1.0", 1},
      {"older", "compare", "a-1.0", "a-2.0", -1},
      {"built later", "compare", "a-1.0 built=5", "a-1.0 built=4", 1},
      {"built earlier", "compare", "a-1.0 built=4", "a-1.0 built=5", -1},
      {"same", "compare", "a-1.0 built=4", "a-1.0 built=4", 0},
      {"other name", "compare", "a-3.0", "b-1.0", 0},
      // The bundle's own version is newer, but its wifi member is older than the standalone.
      {"older member", "compare", "suite-3.0 members=wifi-1.0", "wifi-2.0", -1},
      {"newer than member", "compare", "wifi-2.0", "suite-3.0 members=wifi-1.0", 1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const auto a = record(row.a), b = record(row.b);
    const std::string relation = row.relation;
    const int found = relation == "requires"    ? requires(*a, *b)
                      : relation == "conflicts" ? conflicts(*a, *b)
                                                : compare(*a, *b);
    EXPECT_EQ(found, row.expected) << relation;
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
