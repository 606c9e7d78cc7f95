#include "package/repository.h"

#include <gtest/gtest.h>

#include <sstream>

#include "testing/record_text.h"

namespace {

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
