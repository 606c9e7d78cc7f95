#include "planning/schedule_plan.h"

#include <gtest/gtest.h>

#include <chrono>
#include <sstream>

#include "package/relations.h"
#include "package/repository.h"
#include "testing/record_text.h"

namespace {

struct PlanCase {
  const char* what;
  std::vector<const char*> installed;  // records, with their states and scheduled actions
  const char* plan;                    // "remove ...; enable ..." or "refused"
  const char* messages;                // kept messages, joined by " | "
};

const PlanCase CASES[] = {
    {"nothing scheduled", {"a-1.0", "b-1.0 disabled"}, "remove; enable", ""},
    {"the last active package stays",
     {"a-1.0 action=uninstall", "b-1.0 disabled"},
     "refused",
     "ERROR: can not uninstall or disable all packages"},
    {"a needed package is not disabled",
     {"a-1.0 needs=b", "b-1.0 action=disable"},
     "remove; enable",
     "WARNING: can not disable b-1.0: a depends on it"},
    {"a package goes with its dependants when they go too, last first",
     {"base-1.0", "a-1.0 action=uninstall", "b-1.0 needs=a action=uninstall",
      "c-1.0 needs=b action=uninstall"},
     "remove c:uninstall b:uninstall a:uninstall; enable",
     ""},
    {"but not while an active package still needs it",
     {"base-1.0", "a-1.0 action=uninstall", "b-1.0 needs=a action=uninstall", "c-1.0 needs=b"},
     "remove; enable",
     "WARNING: can not uninstall b-1.0: c depends on it | "
     "WARNING: can not uninstall a-1.0: b depends on it"},
    {"a disabled dependant goes once no provider remains",
     {"base-1.0", "a-1.0 action=uninstall gives=dns", "b-1.0 disabled needs=dns"},
     "remove b:uninstall a:uninstall; enable",
     ""},
    {"a disabled provider keeps a disabled dependant",
     {"base-1.0", "a-1.0 action=uninstall gives=dns", "c-1.0 disabled gives=dns",
      "b-1.0 disabled needs=dns"},
     "remove a:uninstall; enable",
     ""},
    {"a disabled dependant stays as it is when its provider is disabled",
     {"base-1.0", "a-1.0 action=disable gives=dns", "b-1.0 disabled needs=dns"},
     "remove a:disable; enable",
     ""},
    {"a package with no provider at all goes",
     {"base-1.0", "a-1.0 needs=gone"},
     "remove a:uninstall; enable",
     ""},
    {"enabling one that excludes an enabled one disables it and its dependants",
     {"base-1.0", "x-1.0 gives=dns", "y-1.0 needs=dns", "z-1.0 disabled action=enable excludes=x"},
     "remove y:disable x:disable; enable z",
     ""},
    {"enabling one brings its disabled dependencies",
     {"base-1.0", "lib-1.0 disabled", "app-1.0 disabled action=enable needs=lib"},
     "remove; enable lib app",
     ""},
    {"of two being enabled, the excluded one stays off",
     {"base-1.0", "p-1.0 disabled action=enable", "q-1.0 disabled action=enable excludes=p"},
     "remove; enable q",
     "WARNING: can not enable p: q-1.0 conflicts with it"},
    {"two that exclude each other are both enabled",
     {"base-1.0", "p-1.0 disabled action=enable excludes=q",
      "q-1.0 disabled action=enable excludes=p"},
     "remove; enable p q",
     ""},
    {"members follow their bundle's disable, not over an uninstall; the bundle retires",
     {"base-1.0", "suite-1.0 bundle action=disable", "m1-1.0 from=suite-1.0",
      "m2-1.0 from=suite-1.0 action=uninstall"},
     "remove m2:uninstall m1:disable suite:uninstall; enable",
     ""},
    {"a disabled bundle with a disabled member stays",
     {"base-1.0", "suite-1.0 bundle disabled", "m1-1.0 from=suite-1.0 disabled"},
     "remove; enable",
     ""},
    {"a bundle whose members all go is uninstalled",
     {"base-1.0", "suite-1.0 bundle", "m1-1.0 from=suite-1.0 action=uninstall"},
     "remove m1:uninstall suite:uninstall; enable",
     ""},
    {"an enabled member keeps its disabled bundle enabled",
     {"base-1.0", "suite-1.0 bundle disabled action=enable", "m1-1.0 from=suite-1.0 disabled"},
     "remove; enable m1 suite",
     ""},
    {"a bundle whose member's enable failed is not enabled either",
     {"base-1.0", "suite-1.0 bundle disabled action=enable", "m1-1.0 from=suite-1.0 disabled",
      "q-1.0 disabled action=enable excludes=m1"},
     "remove; enable q",
     "WARNING: can not enable m1: q-1.0 conflicts with it"},
    {"a dependency nothing provides ends the look at the rest, and the package goes",
     {"base-1.0", "a-1.0 disabled action=enable needs=gone,lib", "lib-1.0 disabled"},
     "remove a:uninstall; enable",
     ""},
    {"what the conflict disables takes its dependants along",
     {"base-1.0", "w-1.0 needs=y", "y-1.0 needs=dns", "x-1.0 gives=dns",
      "z-1.0 disabled action=enable excludes=x"},
     "remove x:disable y:disable w:disable; enable z",
     ""},
    {"one that provides the name of one being enabled gives way",
     {"base-1.0", "x-1.0 disabled action=enable", "p-1.0 gives=x"},
     "remove p:disable; enable x",
     ""},
    {"an enabled record asked to be enabled brings its disabled dependency",
     {"base-1.0", "e-1.0 action=enable needs=lib", "lib-1.0 disabled"},
     "remove; enable lib e",
     ""},
    {"dependencies are enabled down the chain, last needed first",
     {"base-1.0", "lib2-1.0 disabled", "lib-1.0 disabled needs=lib2",
      "app-1.0 disabled action=enable needs=lib"},
     "remove; enable lib2 lib app",
     ""},
    {"of two disabled providers the preferred one is enabled",
     {"base-1.0", "p1-1.0 disabled gives=dns", "p2-1.0 disabled gives=dns",
      "app-1.0 disabled action=enable needs=dns"},
     "remove; enable p1 app",
     ""},
    {"an enabled member does not need its disabled bundle enabled twice",
     {"base-1.0", "suite-1.0 bundle disabled action=enable", "m1-1.0 from=suite-1.0"},
     "remove; enable suite",
     ""},
    {"a package needed again after its removal was cancelled is enabled then",
     {"d-1.0 disabled action=uninstall", "a-1.0 disabled action=uninstall needs=d,a",
      "b-1.0 needs=a"},
     "remove; enable d a",
     "WARNING: can not uninstall a-1.0: b depends on it | "
     "WARNING: can not uninstall d-1.0: a depends on it"},
    // Loops of every kind end.
    {"mutual needs, both off, one enabled",
     {"base-1.0", "a-1.0 disabled action=enable needs=b", "b-1.0 disabled needs=a"},
     "remove; enable a b",
     ""},
    {"a record that is its own bundle and its own dependency",
     {"base-1.0", "self-1.0 disabled action=enable from=self-1.0 needs=self"},
     "remove; enable self",
     ""},
    {"members of one bundle need each other",
     {"base-1.0", "suite-1.0 bundle disabled", "m1-1.0 from=suite-1.0 disabled needs=m2",
      "m2-1.0 from=suite-1.0 disabled needs=m1 action=enable"},
     "remove; enable m1 m2 suite",
     ""},
    {"conflicting providers of one capability: the heavier one wins",
     {"base-1.0", "light-1.0 gives=dns@1", "heavy-1.0 disabled action=enable gives=dns@5",
      "user-1.0 needs=dns"},
     "remove light:disable; enable heavy",
     ""},
    {"a package that provides what it excludes",
     {"base-1.0", "odd-1.0 disabled action=enable gives=dns excludes=dns", "user-1.0 needs=dns"},
     "remove; enable odd",
     ""},
};

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
  for (const PlanCase& c : CASES) {
    std::ostringstream screen;
    Console console(screen);
    Repository repository;
    for (const char* record : c.installed) repository.add(package_from(record));
    std::vector<Package*> removals, enables;
    const bool planned =
        plan_scheduled(repository, console, removals, enables, ReportLevel::changes);
    std::string messages;
    for (const std::string& message : console.messages) {
      messages += (messages.empty() ? "" : " | ") + message;
    }
    EXPECT_EQ(plan_text(planned, removals, enables), c.plan) << c.what;
    EXPECT_EQ(messages, c.messages) << c.what;
    if (!planned) {
      for (const auto& package : repository.packages()) EXPECT_EQ(package->action, 0u) << c.what;
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
