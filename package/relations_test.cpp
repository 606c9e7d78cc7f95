#include "package/relations.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

Dependency dep(const std::string& name, Version min = 0, Version max = 0, int32_t weight = 0) {
  return Dependency{name, min, max, weight};
}

std::unique_ptr<PackageInfo> record(const std::string& name, Version version,
                                    uint32_t build_time = 0) {
  auto package = std::make_unique<PackageInfo>(name);
  package->version = version;
  package->build_time = build_time;
  return package;
}

constexpr Version V1 = 0x01006600, V2 = 0x02006600, V3 = 0x03006600;

}  // namespace

TEST(Relations, DisplayNames) {
  EXPECT_EQ(display_name(*record("system", 0x03146302)), "system-3.20rc2");
  EXPECT_EQ(display_name(*record("x", 0)), "x-0.0");
  EXPECT_EQ(display_requirement(dep("wifi")), "wifi");
  EXPECT_EQ(display_requirement(dep("wifi", 0, V2)), "wifi");
  EXPECT_EQ(display_requirement(dep("wifi", V1)), "wifi-1.0");
}

TEST(Relations, SatisfiesAndOverlapsTreatZeroAsOpen) {
  auto pkg = record("dhcp", V2);
  EXPECT_TRUE(satisfies(*pkg, dep("dhcp")));
  EXPECT_TRUE(satisfies(*pkg, dep("dhcp", V2, V2)));
  EXPECT_TRUE(satisfies(*pkg, dep("dhcp", V1)));
  EXPECT_FALSE(satisfies(*pkg, dep("dhcp", V3)));
  EXPECT_FALSE(satisfies(*pkg, dep("dhcp", 0, V1)));
  EXPECT_FALSE(satisfies(*pkg, dep("dhcpd")));

  EXPECT_TRUE(overlaps(dep("c", V1), dep("c", V2)));          // both open above
  EXPECT_TRUE(overlaps(dep("c", 0, V1), dep("c", 0, V3)));    // both open below
  EXPECT_TRUE(overlaps(dep("c", V1, V2), dep("c", V2, V3)));  // touching
  EXPECT_FALSE(overlaps(dep("c", V3), dep("c", 0, V2)));
  EXPECT_FALSE(overlaps(dep("c", 0, V1), dep("c", V2)));
  EXPECT_FALSE(overlaps(dep("c"), dep("d")));
}

TEST(Relations, MeetsThroughNameOrProvides) {
  auto pkg = record("ppp", V2);
  pkg->provides.push_back(dep("dialer", V1, V1));
  EXPECT_TRUE(meets(*pkg, dep("ppp", V1)));
  EXPECT_TRUE(provides(*pkg, dep("dialer")));
  EXPECT_TRUE(meets(*pkg, dep("dialer", 0, V2)));
  EXPECT_FALSE(meets(*pkg, dep("dialer", V2)));
  EXPECT_FALSE(meets(*pkg, dep("ppp", V3)));
}

TEST(Relations, RequiresLooksIntoMembersOnBothSides) {
  auto app = record("app", V1);
  app->depends.push_back(dep("lib", V1));
  auto lib = record("lib", V2);
  EXPECT_TRUE(requires(*app, *lib));
  EXPECT_FALSE(requires(*lib, *app));

  auto bundle = record("suite", V1);
  bundle->members.push_back(record("lib", V2));
  EXPECT_TRUE(requires(*app, *bundle));

  auto app_bundle = record("apps", V1);
  app_bundle->members.push_back(record("other", V1));
  app_bundle->members.push_back(std::move(app));
  EXPECT_TRUE(requires(*app_bundle, *lib));
  EXPECT_FALSE(requires(*lib, *app_bundle));
}

TEST(Relations, ConflictsByListAndByProvideWeights) {
  auto a = record("a", V1);
  auto b = record("b", V2);
  a->conflicts.push_back(dep("b", V2));
  EXPECT_TRUE(conflicts(*a, *b));
  EXPECT_FALSE(conflicts(*b, *a));

  // Two providers of one capability: the heavier excludes the lighter, equal ones neither.
  auto heavy = record("heavy", V1);
  auto light = record("light", V1);
  heavy->provides.push_back(dep("dns", 0, 0, 1));
  light->provides.push_back(dep("dns", 0, 0, 0));
  EXPECT_TRUE(conflicts(*heavy, *light));
  EXPECT_FALSE(conflicts(*light, *heavy));
  heavy->provides[0].weight = 0;
  EXPECT_FALSE(conflicts(*heavy, *light));
  EXPECT_FALSE(conflicts(*light, *heavy));

  // Providing another package's name: non-negative weight excludes it, negative yields.
  auto replacement = record("new-dns", V1);
  auto original = record("old-dns", V1);
  replacement->provides.push_back(dep("old-dns", 0, 0, 0));
  EXPECT_TRUE(conflicts(*replacement, *original));
  EXPECT_FALSE(conflicts(*original, *replacement));
  replacement->provides[0].weight = -1;
  EXPECT_FALSE(conflicts(*replacement, *original));
  EXPECT_TRUE(conflicts(*original, *replacement));

  // A conflicts entry matched through what the other provides.
  auto firewall = record("firewall", V1);
  firewall->conflicts.push_back(dep("filter"));
  auto ipt = record("ipt", V1);
  ipt->provides.push_back(dep("filter", V1));
  EXPECT_TRUE(conflicts(*firewall, *ipt));
}

TEST(Relations, ConflictsWithBundlesAndPlaceholders) {
  auto bundle = record("suite", V1);
  bundle->members.push_back(record("wifi", V1));
  auto wifi = record("wifi", V2);
  EXPECT_TRUE(conflicts(*wifi, *bundle));  // the bundle carries its own wifi

  auto member_conflicts = record("suite2", V1);
  auto member = record("m", V1);
  member->conflicts.push_back(dep("wifi"));
  member_conflicts->members.push_back(std::move(member));
  EXPECT_TRUE(conflicts(*member_conflicts, *wifi));

  auto placeholder = record("wifi", PLACEHOLDER_WORD, PLACEHOLDER_WORD);
  auto hater = record("hater", V1);
  hater->conflicts.push_back(dep("wifi"));
  EXPECT_TRUE(is_placeholder(*placeholder));
  EXPECT_FALSE(conflicts(*hater, *placeholder));
  placeholder->conflicts.push_back(dep("hater"));
  EXPECT_FALSE(conflicts(*placeholder, *hater));
  placeholder->build_time = 0;
  EXPECT_FALSE(is_placeholder(*placeholder));
  EXPECT_TRUE(conflicts(*placeholder, *hater));
}

TEST(Relations, ContainsName) {
  auto bundle = record("suite", V1);
  bundle->members.push_back(record("wifi", V1));
  EXPECT_TRUE(contains_name(*bundle, "suite"));
  EXPECT_TRUE(contains_name(*bundle, "wifi"));
  EXPECT_FALSE(contains_name(*bundle, "wif"));
}

TEST(Relations, CompareByVersionThenBuildTimeThroughBundleMembers) {
  EXPECT_EQ(compare(*record("a", V2), *record("a", V1)), 1);
  EXPECT_EQ(compare(*record("a", V1), *record("a", V2)), -1);
  EXPECT_EQ(compare(*record("a", V1, 5), *record("a", V1, 4)), 1);
  EXPECT_EQ(compare(*record("a", V1, 4), *record("a", V1, 5)), -1);
  EXPECT_EQ(compare(*record("a", V1, 4), *record("a", V1, 4)), 0);
  EXPECT_EQ(compare(*record("a", V3), *record("b", V1)), 0);

  // The bundle's own version is newer, but its wifi member is older than the standalone.
  auto bundle = record("suite", V3);
  bundle->members.push_back(record("wifi", V1));
  auto wifi = record("wifi", V2);
  EXPECT_EQ(compare(*bundle, *wifi), -1);
  EXPECT_EQ(compare(*wifi, *bundle), 1);
  EXPECT_EQ(compare_directed(*bundle, *wifi, true), 1);
  EXPECT_EQ(compare_directed(*bundle, *wifi, false), -1);
}
