#include "package/relations.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>

#include "package/repository.h"
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

constexpr Version V1 = 0x01006600, V2 = 0x02006600;

class Lookups : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* text :
         {"a-1.0 disabled gives=dns", "b-1.0 gives=dns@5>=2.0", "a-2.0 excludes=c",
          "p-1.0 placeholder gives=dns", "c-1.0 disabled", "d-1.0 disabled gives=dns"}) {
      repository.add(package_from(text));
    }
  }
  std::string names(const std::vector<Package*>& found) const {
    std::string text;
    for (const Package* package : found)
      text += package->name + "-" + version_text(package->version) + " ";
    return text;
  }
  Repository repository;
};

}  // namespace

// Between records, and between a record or an entry and an entry.
TEST(Relations, BetweenRecordsAndEntries) {
  const auto entry = [](const std::string& text) {
    return package_from("x-1.0 needs=" + text)->depends.at(0);
  };
  const auto said = [](bool holds) { return std::string(holds ? "yes" : "no"); };
  using Texts = const std::string&;
  const std::map<std::string, std::function<std::string(Texts, Texts)>> relations = {
      {"requires", [&](Texts a, Texts b) { return said(requires(*record(a), *record(b))); }},
      {"conflicts", [&](Texts a, Texts b) { return said(conflicts(*record(a), *record(b))); }},
      {"compare",
       [&](Texts a, Texts b) { return std::to_string(compare(*record(a), *record(b))); }},
      {"satisfies", [&](Texts a, Texts b) { return said(satisfies(*record(a), entry(b))); }},
      {"meets", [&](Texts a, Texts b) { return said(meets(*record(a), entry(b))); }},
      {"provides", [&](Texts a, Texts b) { return said(provides(*record(a), entry(b))); }},
      {"overlaps", [&](Texts a, Texts b) { return said(overlaps(entry(a), entry(b))); }}};
  std::vector<std::string> keys = {"a", "b"};
  for (const auto& relation : relations) keys.push_back(relation.first + "?");
  for (const TestCase& c : read_cases("package/testdata/relations.txt", keys)) {
    SCOPED_TRACE(c.label());
    EXPECT_EQ(c.values.size(), 4u) << "one relation per case";
    for (const auto& [name, relation] : relations) {
      if (c.values.count(name)) {
        EXPECT_EQ(relation(c.text("a"), c.text("b")), c.text(name));
      }
    }
  }
  const auto bundle = record("suite-3.0 members=wifi-1.0"), wifi = record("wifi-2.0");
  EXPECT_EQ(compare_directed(*bundle, *wifi, true), 1);
  EXPECT_EQ(compare_directed(*bundle, *wifi, false), -1);
  EXPECT_TRUE(is_placeholder(*record("wifi-1.0 placeholder")));
  EXPECT_FALSE(is_placeholder(*record("wifi-1.0 placeholder built=0")));
}

TEST(Relations, DisplayNamesAndContainedNames) {
  PackageInfo system("system");
  system.version = 0x03146302;
  EXPECT_EQ(display_name(system), "system-3.20rc2");
  EXPECT_EQ(display_name(PackageInfo("x")), "x-0.0");
  EXPECT_EQ(display_requirement(dep("wifi")), "wifi");
  EXPECT_EQ(display_requirement(dep("wifi", 0, V2)), "wifi");
  EXPECT_EQ(display_requirement(dep("wifi", V1)), "wifi-1.0");
  const auto bundle = record("suite-1.0 members=wifi-1.0");
  EXPECT_TRUE(contains_name(*bundle, "suite"));
  EXPECT_TRUE(contains_name(*bundle, "wifi"));
  EXPECT_FALSE(contains_name(*bundle, "wif"));
}

TEST_F(Lookups, FindTheFirstOrTheActiveOne) {
  EXPECT_EQ(repository.find_index("a"), 0);
  EXPECT_EQ(repository.find_index("zz"), -1);
  EXPECT_EQ(repository.find("a")->version, make_version(1, 0, KIND_FINAL, 0));
  // The first enabled one that has the name or provides it, in any version...
  EXPECT_EQ(repository.find_active("a")->version, make_version(2, 0, KIND_FINAL, 0));
  EXPECT_EQ(repository.find_active("dns")->name, "b");
  // ... else the last disabled one.
  EXPECT_EQ(repository.find_active("c")->name, "c");
  repository.packages()[1]->disabled = true;
  EXPECT_EQ(repository.find_active("dns")->name, "p");  // placeholders are not skipped here
  EXPECT_EQ(repository.find_active("none"), nullptr);
}

TEST_F(Lookups, ProvidersAndConflicts) {
  std::vector<Package*> enabled, all;
  repository.find_providers({"dns", 0, 0, 0}, false, enabled);
  repository.find_providers({"dns", 0, 0, 0}, true, all);
  EXPECT_EQ(names(enabled), "b-1.0 ");
  EXPECT_EQ(names(all), "a-1.0 b-1.0 d-1.0 ");  // placeholders never provide
  std::vector<Package*> ranged;
  repository.find_providers({"dns", 0, make_version(1, 5, KIND_FINAL, 0), 0}, true, ranged);
  EXPECT_EQ(names(ranged), "a-1.0 d-1.0 ");
  // Only an enabled package that excludes the offered one.
  EXPECT_EQ(repository.find_conflicting(*package_from("c-3.0"))->name, "a");
  repository.packages()[2]->disabled = true;
  EXPECT_EQ(repository.find_conflicting(*package_from("c-3.0")), nullptr);
}

TEST_F(Lookups, RecordsLeaveAndListedMembersStayBound) {
  repository.remove(repository.find("b"));
  repository.remove_at(0);
  std::string left;
  for (const auto& package : repository.packages()) left += package->name + " ";
  EXPECT_EQ(left, "a p c d ");
  EXPECT_EQ(repository.find_active("dns")->name, "p");
  Package& member = *repository.find("c");
  EXPECT_FALSE(repository.is_listed_disabled(member));  // from no bundle
  member.bundle.name = "m";
  repository.list_disabled("n", "c");
  EXPECT_FALSE(repository.is_listed_disabled(member));
  repository.list_disabled("m", "c");
  EXPECT_TRUE(repository.is_listed_disabled(member));
}
