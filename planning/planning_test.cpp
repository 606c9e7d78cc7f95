// Planning on records alone: admission of an offer against the installed records, the choice
// and order among related candidates, the decision on each offer, and the scheduled actions.
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <sstream>

#include "package/console.h"
#include "package/relations.h"
#include "package/repository.h"
#include "package/version_parse.h"
#include "planning/admission.h"
#include "planning/candidate_order.h"
#include "planning/offer_decision.h"
#include "planning/schedule_plan.h"
#include "testing/case_file.h"
#include "testing/fake_board.h"
#include "testing/record_text.h"

namespace {

// The installed records, and a console that keeps what it says.
struct Records {
  std::ostringstream screen;
  Console console{screen};
  Repository repository{"i386"};
  explicit Records(const std::vector<std::string>& installed = {}) {
    for (const std::string& record : installed) repository.add(package_from(record));
  }
};

// Admission bits from words such as "upgrade same"; "none" is 0.
uint32_t bits_from(const std::string& words) {
  static const std::map<std::string, uint32_t> names = {
      {"upgrade", ADMIT_UPGRADE},         {"downgrade", ADMIT_DOWNGRADE}, {"same", ADMIT_SAME},
      {"unsatisfied", ADMIT_UNSATISFIED}, {"conflict", ADMIT_CONFLICT},   {"none", 0}};
  uint32_t bits = 0;
  std::istringstream in(words);
  for (std::string word; in >> word;) {
    const auto found = names.find(word);
    EXPECT_NE(found, names.end()) << "admission bit " << word;
    if (found != names.end()) bits |= found->second;
  }
  return bits;
}

std::string plan_text(bool planned, const std::vector<Package*>& removals,
                      const std::vector<Package*>& enables) {
  if (!planned) return "refused";
  std::string text = "remove";
  for (const Package* package : removals) {
    text += " " + package->name + ":" + action_name(package->action);
  }
  text += "; enable";
  for (const Package* package : enables) text += " " + package->name;
  return text;
}

}  // namespace

TEST(Admission, EveryOutcomeWithItsBitsAndItsOneMessage) {
  for (const TestCase& c :
       read_cases("planning/testdata/admissions.txt",
                  {"installed*", "offered", "allowed", "bits", "message?", "board?"})) {
    SCOPED_TRACE(c.label());
    Records records(c.list("installed"));
    FakeBoard board;
    if (c.text("board") == "min") {
      board.has_flash = true;
      board.min_version = make_version(6, 48, KIND_FINAL, 0);
    } else if (c.text("board") == "large") {
      board.has_mtd = true;
      board.erase_size = 0x40000;
    } else {
      EXPECT_EQ(c.text("board"), "");
    }
    const std::unique_ptr<PackageFile> offered = offer_from(c.text("offered"));
    if (offered->architecture.empty() && c.text("offered").find("arch=") == std::string::npos) {
      offered->architecture = "i386";
    }
    EXPECT_EQ(admit(records.repository, records.console, *offered, bits_from(c.text("allowed"))),
              bits_from(c.text("bits")));
    EXPECT_EQ(records.console.messages, c.list("message"));
  }
}

TEST(CandidateOrder, KeepsThePreferredOfRelatedCandidatesInInstallOrder) {
  for (const TestCase& c : read_cases("planning/testdata/candidate_orders.txt",
                                      {"offered", "floor?", "quiet?", "kept", "message*"})) {
    SCOPED_TRACE(c.label());
    Version floor = NO_FLOOR;
    if (!c.text("floor").empty()) {
      ASSERT_TRUE(parse_version_text(c.text("floor"), floor));
    }
    Records records;
    std::vector<std::unique_ptr<PackageFile>> owned;
    std::vector<PackageFile*> candidates;
    for (const std::string& offer : c.list("offered")) {
      owned.push_back(offer_from(offer));
      candidates.push_back(owned.back().get());
    }
    filter_and_order(records.console, candidates, floor, !c.yes("quiet"));
    std::string kept;
    for (const PackageFile* file : candidates)
      kept += (kept.empty() ? "" : " ") + display_name(*file);
    EXPECT_EQ(kept, c.text("kept"));
    EXPECT_EQ(records.console.messages, c.list("message"));
  }
}

TEST(OfferDecision, AdmissionAndTheUsersChoiceDecideWhatBecomesOfAnOffer) {
  const std::map<OfferOutcome, std::string> outcomes = {
      {OfferOutcome::install, "install"},
      {OfferOutcome::pass_over, "pass over"},
      {OfferOutcome::already_installed, "already installed"},
      {OfferOutcome::stays_installed, "stays installed"},
      {OfferOutcome::refused, "refused"}};
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
        decide_offer(records.repository, records.console, *offer, bits_from(c.text("allow")),
                     user_forced, c.yes("member"));
    EXPECT_EQ(outcomes.at(decision.outcome), c.text("outcome"));
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
  for (const TestCase& c : read_cases("planning/testdata/plan_changes.txt",
                                      {"installed", "added", "replaced?", "plans"})) {
    SCOPED_TRACE(c.label());
    Records records({c.text("installed")});
    EXPECT_EQ(
        may_change_the_plan(records.repository, *package_from(c.text("added")), c.yes("replaced")),
        c.yes("plans"));
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

TEST(SchedulePlan, DecidesEveryScheduledActionOnRecordsAlone) {
  const std::vector<TestCase> cases =
      read_cases("planning/testdata/schedule_plans.txt", {"installed*", "plan", "message*"});
  for (const TestCase& c : cases) {
    SCOPED_TRACE(c.label());
    Records records(c.list("installed"));
    std::vector<Package*> removals, enables;
    const bool planned = plan_scheduled(records.repository, records.console, removals, enables,
                                        ReportLevel::changes);
    EXPECT_EQ(plan_text(planned, removals, enables), c.text("plan"));
    EXPECT_EQ(records.console.messages, c.list("message"));
    if (!planned) {
      for (const auto& package : records.repository.packages()) EXPECT_EQ(package->action, 0u);
    }
  }
}

TEST(SchedulePlan, ThousandsOfRecordsInLongChainsArePlannedQuickly) {
  const int count = 4000;
  const auto chain = [](Repository& repository, const std::string& prefix, bool disabled,
                        bool reverse) {
    for (int n = 0; n < count; ++n) {
      const int i = reverse ? count - 1 - n : n;
      auto package = std::make_unique<Package>(prefix + std::to_string(i));
      package->version = 1;
      package->disabled = disabled;
      if (i > 0) package->depends.push_back({prefix + std::to_string(i - 1), 0, 0, 0});
      repository.add(std::move(package));
    }
  };
  std::ostringstream screen;
  Console console(screen);
  Repository repository;
  repository.add(package_from("base-1.0"));
  // An enabled chain, placed last first, whose root a newly enabled package excludes: it is
  // disabled link by link; a disabled chain enabled from its top; an enabled ring.
  chain(repository, "gone", false, true);
  repository.add(package_from("z-1.0 disabled action=enable excludes=gone0"));
  chain(repository, "up", true, false);
  repository.find("up" + std::to_string(count - 1))->action = ACTION_ENABLE;
  chain(repository, "ring", false, false);
  repository.find("ring0")->depends.push_back({"ring" + std::to_string(count - 1), 0, 0, 0});

  const auto start = std::chrono::steady_clock::now();
  std::vector<Package*> removals, enables;
  ASSERT_TRUE(plan_scheduled(repository, console, removals, enables, ReportLevel::changes));
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  ASSERT_EQ(removals.size(), size_t(count));
  EXPECT_EQ(removals.front()->name, "gone0");  // reverse record order: the root came last
  for (const Package* removed : removals) EXPECT_EQ(removed->action, ACTION_DISABLE);
  ASSERT_EQ(enables.size(), size_t(count) + 1);
  EXPECT_EQ(enables.front()->name, "up0");  // what is needed comes first
  EXPECT_EQ(enables[count - 1]->name, "up" + std::to_string(count - 1));
  EXPECT_TRUE(console.messages.empty());
#if defined(INSTALLER_SANITIZED) || defined(INSTALLER_EMULATOR)
  const double limit = 20.0;  // unoptimised and instrumented, or every instruction emulated
#else
  const double limit = 1.0;  // well under: about 0.1 s on a development machine
#endif
  EXPECT_LT(seconds, limit);
}
