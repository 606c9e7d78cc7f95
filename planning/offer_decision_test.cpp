#include "planning/offer_decision.h"

#include <gtest/gtest.h>

#include <sstream>

#include "package/console.h"
#include "package/repository.h"
#include "planning/admission.h"
#include "testing/record_text.h"

namespace {

const char* outcome_name(OfferOutcome outcome) {
  switch (outcome) {
    case OfferOutcome::install:
      return "install";
    case OfferOutcome::pass_over:
      return "pass over";
    case OfferOutcome::already_installed:
      return "already installed";
    case OfferOutcome::stays_installed:
      return "stays installed";
    case OfferOutcome::refused:
      return "refused";
  }
  return "?";
}

struct Records {
  std::ostringstream screen;
  Console console{screen};
  Repository repository{"i386"};
  explicit Records(const std::vector<const char*>& installed) {
    for (const char* record : installed) repository.add(package_from(record));
  }
  std::string printed() const { return console.messages.empty() ? "" : console.messages[0]; }
};

const uint32_t UP = ADMIT_UPGRADE, SAME = ADMIT_SAME;

struct OfferCase {
  const char* what;
  std::vector<const char*> installed;
  const char* offered;
  uint32_t allow;
  bool member;
  const char* outcome;
  bool disabled;
  bool user_forced;
  const char* message;
};

const OfferCase CASES[] = {
    {"new", {}, "a-1.0", UP, false, "install", false, false, ""},
    {"upgrade", {"a-1.0"}, "a-2.0", UP, false, "install", false, false, ""},
    {"same, accepted", {"a-1.0"}, "a-1.0", UP | SAME, false, "already installed", false, false, ""},
    {"same, not accepted",
     {"a-1.0"},
     "a-1.0",
     UP,
     false,
     "stays installed",
     false,
     false,
     "WARNING: omitting package a-1.0: it is already installed"},
    {"older",
     {"a-2.0"},
     "a-1.0",
     UP,
     false,
     "refused",
     false,
     false,
     "WARNING: omitting package a-1.0: newer package a-2.0 is already installed"},
    {"unmet need",
     {},
     "a-1.0 needs=b",
     UP,
     false,
     "refused",
     false,
     false,
     "ERROR: can not install a-1.0: b is not installed, but is required"},
    {"excluded: installed disabled, silently",
     {"x-1.0 excludes=a"},
     "a-1.0",
     UP,
     false,
     "install",
     true,
     false,
     ""},
    {"excluded by a disabled package",
     {"x-1.0 disabled excludes=a"},
     "a-1.0",
     UP,
     false,
     "install",
     false,
     false,
     ""},
    {"the user's choice", {"a-1.0 disabled forced"}, "a-2.0", UP, false, "install", true, true, ""},
    {"member refused: passed over, silently",
     {"a-2.0 from=m-1.0"},
     "a-1.0 from=m-1.0",
     UP,
     true,
     "pass over",
     false,
     false,
     ""},
    {"member, same version",
     {"a-1.0 from=m-1.0"},
     "a-1.0 from=m-1.0",
     UP | SAME,
     true,
     "pass over",
     false,
     false,
     ""},
    {"member, new", {}, "a-1.0 from=m-1.0", UP, true, "install", false, false, ""},
    {"member listed by its bundle",
     {"listed"},
     "a-1.0 from=m-1.0",
     UP,
     true,
     "install",
     true,
     false,
     ""},
    {"listed name, other bundle",
     {"listed"},
     "a-1.0 from=n-1.0",
     UP,
     true,
     "install",
     false,
     false,
     ""},
};

}  // namespace

TEST(OfferDecision, AdmissionAndTheUsersChoiceDecideWhatBecomesOfAnOffer) {
  for (const OfferCase& c : CASES) {
    SCOPED_TRACE(c.what);
    std::vector<const char*> installed;
    bool listed = false;
    for (const char* record : c.installed) {
      if (std::string(record) == "listed") {
        listed = true;
      } else {
        installed.push_back(record);
      }
    }
    Records records(installed);
    if (listed) records.repository.list_disabled("m", "a");
    const std::unique_ptr<Package> offer = package_from(c.offered);
    UserForcedMap user_forced;
    for (const auto& package : records.repository.packages()) {
      if (package->user_forced) user_forced[package->name] = package->disabled;
    }
    const OfferDecision decision =
        decide_offer(records.repository, records.console, *offer, c.allow, user_forced, c.member);
    EXPECT_STREQ(outcome_name(decision.outcome), c.outcome);
    EXPECT_EQ(decision.disabled, c.disabled);
    EXPECT_EQ(decision.user_forced, c.user_forced);
    EXPECT_EQ(records.printed(), c.message);
  }
}

TEST(OfferDecision, UnsignedBundlePartsTouchOnlyWhatIsTheirs) {
  Records records({"a-1.0 from=m-1.0", "b-1.0", "m-1.0 bundle", "p-1.0"});
  EXPECT_TRUE(member_may_join(records.repository, *package_from("a-2.0"), "m"));
  EXPECT_FALSE(member_may_join(records.repository, *package_from("a-2.0"), "n"));
  EXPECT_FALSE(member_may_join(records.repository, *package_from("b-2.0"), "m"));
  EXPECT_TRUE(member_may_join(records.repository, *package_from("c-1.0"), "m"));
  EXPECT_TRUE(bundle_may_replace(records.repository, *package_from("m-2.0 bundle")));
  EXPECT_TRUE(bundle_may_replace(records.repository, *package_from("n-1.0 bundle")));
  EXPECT_FALSE(bundle_may_replace(records.repository, *package_from("p-2.0 bundle")));
  EXPECT_EQ(members_of(records.repository, "m"), std::set<std::string>{"a"});
  retire_members(records.repository, {"a", "gone"});
  EXPECT_EQ(records.repository.find("a")->action, ACTION_UNINSTALL);
  EXPECT_EQ(records.repository.find("b")->action, ACTION_NONE);
}

TEST(OfferDecision, PlanningRunsAgainOnlyWhenAMemberRelatesToSomething) {
  struct Case {
    std::vector<const char*> installed;
    const char* added;
    bool replaced;
    bool plans;
  };
  const Case cases[] = {
      {{"x-1.0"}, "a-1.0", false, false},
      {{"x-1.0"}, "a-1.0", true, true},
      {{"x-1.0"}, "a-1.0 needs=x", false, true},
      {{"x-1.0"}, "a-1.0 gives=y", false, true},
      {{"x-1.0"}, "a-1.0 excludes=x", false, true},
      {{"x-1.0 needs=a"}, "a-1.0", false, true},
      {{"x-1.0 gives=a"}, "a-1.0", false, true},
      {{"x-1.0 excludes=a"}, "a-1.0", false, true},
      {{"x-1.0 excludes=a"}, "a-1.0 disabled", false, false},
  };
  for (const Case& c : cases) {
    Records records(c.installed);
    EXPECT_EQ(may_change_the_plan(records.repository, *package_from(c.added), c.replaced), c.plans)
        << c.installed[0] << " + " << c.added << (c.replaced ? " replacing" : "");
  }
}

TEST(OfferDecision, AfterAnUpgradeWhatWasActiveIsSwitchedBackOn) {
  Records records({"a-1.0", "b-1.0 gives=cap", "c-1.0 disabled forced", "d-1.0 from=m-1.0"});
  const std::set<std::string> were_active = active_names(records.repository);
  EXPECT_EQ(were_active, (std::set<std::string>{"a", "b", "cap", "d"}));
  EXPECT_EQ(user_choices(records.repository), (UserForcedMap{{"c", true}}));
  for (const char* name : {"a", "b", "d"}) records.repository.find(name)->disabled = true;
  records.repository.add(package_from("x-1.0 excludes=b"));
  records.repository.list_disabled("m", "d");
  std::string enabled;
  for (const Package* package : to_switch_back_on(records.repository, were_active)) {
    enabled += package->name + " ";
  }
  EXPECT_EQ(enabled, "a ");  // b is excluded, c was off, d is listed by its bundle
}
