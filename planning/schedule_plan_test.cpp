#include "planning/schedule_plan.h"

#include <gtest/gtest.h>

#include <chrono>
#include <sstream>

#include "package/relations.h"
#include "package/repository.h"
#include "testing/case_file.h"
#include "testing/record_text.h"

namespace {

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

TEST(SchedulePlan, DecidesEveryScheduledActionOnRecordsAlone) {
  const std::vector<TestCase> cases =
      read_cases("planning/testdata/schedule_plans.txt", {"installed*", "plan", "message*"});
  for (const TestCase& c : cases) {
    SCOPED_TRACE(c.label());
    std::ostringstream screen;
    Console console(screen);
    Repository repository;
    for (const std::string& record : c.list("installed")) repository.add(package_from(record));
    std::vector<Package*> removals, enables;
    const bool planned =
        plan_scheduled(repository, console, removals, enables, ReportLevel::changes);
    EXPECT_EQ(plan_text(planned, removals, enables), c.text("plan"));
    EXPECT_EQ(console.messages, c.list("message"));
    if (!planned) {
      for (const auto& package : repository.packages()) EXPECT_EQ(package->action, 0u);
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
#if defined(INSTALLER_SANITIZED)
  const double limit = 20.0;  // unoptimised and instrumented
#elif defined(INSTALLER_EMULATOR)
  const double limit = 20.0;  // every instruction emulated
#else
  const double limit = 1.0;  // well under: about 0.1 s on a development machine
#endif
  EXPECT_LT(seconds, limit);
}
