// The planner against a plain reference: the same rules written the slow and obvious way
// (full scans, providers found by scanning, the removal walk started over after every
// change), on thousands of small random databases. The planner indexes, caches and keeps
// worklists; every answer, action and message must come out the same.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <sstream>

#include "package/relations.h"
#include "package/repository.h"
#include "planning/candidate_order.h"
#include "planning/schedule_plan.h"

namespace {

class Reference {
 public:
  explicit Reference(Repository& repository) : repo_(repository) {}

  bool plan(std::vector<Package*>& removals, std::vector<Package*>& enables) {
    for (auto& p : repo_.packages) {  // members follow their bundle
      Package* b = p->bundle.name.empty() ? nullptr : find(p->bundle.name);
      if (b == nullptr) continue;
      if (b->action == 3 && p->action != 1) p->action = 3;
      if (b->action == 1) p->action = 1;
      if (b->action == 2 && p->disabled) p->action = 2;
    }
    for (auto& p : repo_.packages) {
      if (counted(*p)) activate(p.get());
    }
    for (auto& p : repo_.packages) {
      if (counted(*p)) settle_conflicts(p.get());
    }
    for (size_t i = 0; i < repo_.packages.size();) i = propagate(*repo_.packages[i]) ? 0 : i + 1;
    retire_bundles();
    bool any = false;
    for (auto& p : repo_.packages) any = any || counted(*p);
    if (!repo_.packages.empty() && !any) {
      for (auto& p : repo_.packages) p->action = 0;
      repo_.error("can not uninstall or disable all packages");
      return false;
    }
    std::vector<Package*> enabling;
    for (auto& p : repo_.packages) {
      if (p->action == 1 || p->action == 3) removals.insert(removals.begin(), p.get());
      if (p->action == 2) enabling.push_back(p.get());
    }
    filter_and_order(repo_, enabling, NO_FLOOR, false);
    enables = enabling;
    return true;
  }

 private:
  Package* find(const std::string& name) {
    for (auto& p : repo_.packages) {
      if (p->name == name) return p.get();
    }
    return nullptr;
  }
  std::vector<Package*> providers(const Dependency& d) {
    std::vector<Package*> found;
    for (auto& p : repo_.packages) {
      if (!is_placeholder(*p) && meets(*p, d)) found.push_back(p.get());
    }
    return found;
  }
  static bool counted(const Package& p) { return p.action == 2 || (p.action == 0 && !p.disabled); }
  static int state(const std::vector<Package*>& list) {
    for (auto* p : list) {
      if (p->disabled ? p->action == 2 : p->action == 0) return 0;
    }
    for (auto* p : list) {
      if (p->disabled || p->action == 3) return 3;
    }
    return 1;
  }
  // Entered again only when some action changed since: otherwise it would loop for ever.
  void activate(Package* p) {
    std::vector<long>& frames = entered_[p];
    if (!frames.empty() && frames.back() == changes_) return;
    frames.push_back(changes_);
    if (Package* b = p->bundle.name.empty() ? nullptr : find(p->bundle.name)) keep(b, p);
    for (const Dependency& d : p->depends) {
      std::vector<Package*> list = providers(d);
      if (state(list) == 0) continue;
      if (list.empty()) break;
      filter_and_order(repo_, list, NO_FLOOR, false);
      if (!list.empty()) keep(list.back(), p);
    }
    entered_[p].pop_back();
  }
  void keep(Package* x, Package* p) {
    if (x->action == 1 || x->action == 3) {
      repo_.warning("can not %s %s: %s depends on it", action_name(x->action),
                    display_name(*x).c_str(), p->name.c_str());
      x->action = 0;
      ++changes_;
      activate(x);
    } else if (x->disabled) {
      if (x->action != 2) ++changes_;
      x->action = 2;
      activate(x);
    }
  }
  void settle_conflicts(Package* x) {
    for (auto& held : repo_.packages) {
      Package* p = held.get();
      if (p == x || !(p->disabled ? p->action == 2 : p->action == 0)) continue;
      if (conflicts(*x, *p)) {
        if (p->action == 0) p->action = 3;
      } else if (x->action == 2 && conflicts(*p, *x)) {
        if (p->action == 0) p->action = 3;
        if (p->action == 2) {
          repo_.warning("can not enable %s: %s conflicts with it", x->name.c_str(),
                        display_name(*p).c_str());
          x->action = 0;
          return;
        }
      }
    }
  }
  bool propagate(Package& p) {
    for (const Dependency& d : p.depends) {
      const int s = state(providers(d));
      if (s == 1 && p.action != 1) {
        p.action = 1;
        return true;
      }
      if (s == 3 && p.action != 1 && p.action != 3 && (!p.disabled || p.action != 0)) {
        p.action = 3;
        return true;
      }
    }
    return false;
  }
  void retire_bundles() {
    for (auto& held : repo_.packages) {
      Package* b = held.get();
      if (!b->is_bundle || b->action == 1) continue;
      bool remains = false, live = false;
      for (auto& m : repo_.packages) {
        if (is_placeholder(*m) || m->bundle.name != b->name) continue;
        if (m->disabled ? m->action == 2 : m->action == 0) {
          live = true;
          break;
        }
        if (m->disabled ? m->action != 1 : m->action == 3) remains = true;
      }
      if (live) continue;
      if (!remains || !b->disabled) {
        b->action = 1;
      } else if (b->action == 2) {
        b->action = 0;
      }
    }
  }

  Repository& repo_;
  std::map<const Package*, std::vector<long>> entered_;
  long changes_ = 0;
};

// A random database of up to `most` records on a few names, capabilities and bundles.
std::vector<std::unique_ptr<Package>> random_database(std::mt19937& random, int most) {
  const auto pick = [&random](int n) { return int(random() % unsigned(n)); };
  const char* names[] = {"a", "b", "c", "d", "x", "y", ""};  // x, y only as capabilities
  const auto version = [&pick] { return make_version(1 + pick(3), 0, KIND_FINAL, 0); };
  const auto entry = [&] {
    return Dependency{names[pick(6)], pick(10) < 6 ? 0 : version(), pick(10) < 6 ? 0 : version(),
                      pick(4) - 1};
  };
  std::vector<std::unique_ptr<Package>> records;
  for (int i = 1 + pick(most); i > 0; --i) {
    auto p = std::make_unique<Package>(names[pick(50) == 0 ? 6 : pick(4)]);
    p->version = version();
    p->build_time = uint32_t(pick(2));
    if (pick(20) == 0) p->version = p->build_time = PLACEHOLDER_WORD;
    for (int n = pick(3); n > 0; --n) p->depends.push_back(entry());
    for (int n = pick(3); n > 0; --n) p->provides.push_back(entry());
    for (int n = pick(3) - pick(2); n > 0; --n) p->conflicts.push_back(entry());
    p->is_bundle = pick(5) == 0;
    p->disabled = pick(10) < 4;
    p->action = uint32_t(pick(4));
    if (pick(20) < 7) p->bundle = {names[pick(4)], version(), 0, 0};
    records.push_back(std::move(p));
  }
  return records;
}

// The plan's answer with every action and message, records named by their position.
std::string outcome(Repository& repository, bool planned, const std::vector<Package*>& removals,
                    const std::vector<Package*>& enables) {
  std::map<const Package*, size_t> position;
  for (size_t i = 0; i < repository.packages.size(); ++i) {
    position[repository.packages[i].get()] = i;
  }
  std::ostringstream text;
  text << (planned ? "planned" : "refused") << " remove";
  for (const Package* p : removals) text << " " << position[p] << ":" << p->action;
  text << "; enable";
  for (const Package* p : enables) text << " " << position[p];
  text << "; actions ";
  for (const auto& p : repository.packages) text << p->action;
  for (const std::string& message : repository.messages) text << " | " << message;
  return text.str();
}

}  // namespace

TEST(PlanReference, ThePlannerDecidesAsThePlainRulesDo) {
  std::mt19937 random(20261206);
  for (int run = 0; run < 20000; ++run) {
    std::mt19937 twin = random;
    std::ostringstream screens[2];
    Repository planned(screens[0]), expected(screens[1]);
    planned.packages = random_database(random, 9);
    expected.packages = random_database(twin, 9);
    std::vector<Package*> removals[2], enables[2];
    const bool ok = plan_scheduled(planned, removals[0], enables[0], 1);
    const bool reference = Reference(expected).plan(removals[1], enables[1]);
    ASSERT_EQ(outcome(planned, ok, removals[0], enables[0]),
              outcome(expected, reference, removals[1], enables[1]))
        << "run " << run;
  }
}
