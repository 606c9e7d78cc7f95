#include "planning/offer_decision.h"

#include <gtest/gtest.h>

#include <sstream>

#include "package/console.h"
#include "package/repository.h"
#include "planning/admission.h"
#include "testing/case_file.h"
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
  explicit Records(const std::vector<std::string>& installed) {
    for (const std::string& record : installed) repository.add(package_from(record));
  }
};

uint32_t allowed_from(const std::string& words) {
  uint32_t allowed = 0;
  std::istringstream in(words);
  for (std::string word; in >> word;) {
    EXPECT_TRUE(word == "upgrade" || word == "same") << "allow " << word;
    allowed |= word == "upgrade" ? ADMIT_UPGRADE : word == "same" ? ADMIT_SAME : 0;
  }
  return allowed;
}

}  // namespace

TEST(OfferDecision, AdmissionAndTheUsersChoiceDecideWhatBecomesOfAnOffer) {
  for (const TestCase& c : read_cases("planning/testdata/offer_decisions.txt",
                                      {"installed*", "listed?", "offered", "allow", "member?",
                                       "outcome", "disabled?", "forced?", "message?"})) {
    SCOPED_TRACE(c.label());
    Records records(c.list("installed"));
    if (!c.text("listed").empty()) {
      std::istringstream listed(c.text("listed"));
      std::string bundle, member;
      ASSERT_TRUE(listed >> bundle >> member);
      records.repository.list_disabled(bundle, member);
    }
    const std::unique_ptr<Package> offer = package_from(c.text("offered"));
    UserForcedMap user_forced;
    for (const auto& package : records.repository.packages()) {
      if (package->user_forced) user_forced[package->name] = package->disabled;
    }
    const OfferDecision decision =
        decide_offer(records.repository, records.console, *offer, allowed_from(c.text("allow")),
                     user_forced, c.yes("member"));
    EXPECT_EQ(outcome_name(decision.outcome), c.text("outcome"));
    EXPECT_EQ(decision.disabled, c.yes("disabled"));
    EXPECT_EQ(decision.user_forced, c.yes("forced"));
    EXPECT_EQ(records.console.messages, c.list("message"));
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
    std::vector<std::string> installed;
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
