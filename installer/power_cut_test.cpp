// A commit cut short at every step, as a power cut would: each file is old or new, the
// database still loads, and running the saved transaction again finishes the job.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>

#include "installer/whole_run.h"
#include "testing/test_packages.h"

namespace {

const Version V1 = make_version(1, 0, KIND_FINAL, 0);
const Version V2 = make_version(2, 0, KIND_FINAL, 0);

// Path -> the line tree() gives for it.
std::map<std::string, std::string> by_path(const std::string& tree) {
  std::map<std::string, std::string> lines;
  std::istringstream text(tree);
  for (std::string line; std::getline(text, line);) {
    if (line.empty() || line[0] != '/') continue;  // the rest of a file's text
    lines[line.substr(0, line.find_first_of("= "))] = line;
  }
  return lines;
}

class PowerCut : public WholeRun {
 protected:
  void SetUp() override {
    WholeRun::SetUp();
    if (IsSkipped()) return;
    if (test_signing_keys() == nullptr) GTEST_SKIP() << "no private keys to sign test packages";
    if (!can_trace_children()) GTEST_SKIP() << "system calls of a child cannot be traced here";
  }

  void save(const std::string& to) {
    std::filesystem::remove_all(to);
    std::filesystem::copy(
        root(), to,
        std::filesystem::copy_options::recursive | std::filesystem::copy_options::copy_symlinks);
  }
  void restore(const std::string& from) {
    std::filesystem::remove_all(root());
    std::filesystem::copy(
        from, root(),
        std::filesystem::copy_options::recursive | std::filesystem::copy_options::copy_symlinks);
  }
};

// Lines of the package table, as a set: after a cut each package shows its old or its new
// line, whichever its files are.
std::set<std::string> table_lines(const std::string& table) {
  std::set<std::string> lines;
  std::istringstream text(table);
  for (std::string line; std::getline(text, line);) lines.insert(line);
  return lines;
}

TEST_F(PowerCut, EveryStepOfACommitLeavesFilesOldOrNewAndTheCommitCanBeFinished) {
  const auto offer = [this](const std::string& folder, Version version,
                            std::vector<ArchiveEntry> files) {
    TestPackage app = test_package("app", version);
    app.image = "app image " + version_text(version);
    app.files = std::move(files);
    write_file(folder + "app.vmp", package_bytes(app));
    // The system image is kept as "/flash/bootimage", linked from its database entry.
    TestPackage system = test_package("system", version);
    system.image = "kernel " + version_text(version);
    system.group.header_flags = HEADER_BOOT_IMAGE;
    write_file(folder + "system.vmp", package_bytes(system));
  };
  ChildOptions boot;
  boot.env = {{"bootimage", "1"}};
  make_dirs("/flash/var/pdb");
  offer("/flash/var/pckg/", V1, {file_entry("etc/a", "a1"), file_entry("etc/b", "b1")});
  ASSERT_EQ(run_installer({"-q"}, boot).status, 0);
  // A file in a new directory: the commit makes it between two steps.
  offer("/rw/pckg/.download/", V2,
        {file_entry("etc/a", "a2"), file_entry("etc/c", "c2"), file_entry("lib/x/d", "d2")});
  ASSERT_EQ(run_installer({"-q", "--safe"}, boot).status, 0);
  const std::string saved = root() + ".saved";
  save(saved);
  const auto before = by_path(tree("/"));
  const auto table_before = table_lines(run_installer({"-q", "--show"}).out);
  ChildOptions whole;
  whole.kill_at_step = 1 << 30;  // traced to the end
  const RunResult commit = run_installer({"--commit"}, whole);
  ASSERT_EQ(commit.status, 0);
  const std::string done = tree("/");
  const auto after = by_path(done);
  ASSERT_NE(after.at("/flash/etc/a"), before.at("/flash/etc/a"));
  ASSERT_NE(after.at("/flash/bootimage"), before.at("/flash/bootimage"));
  const auto table_after = table_lines(run_installer({"-q", "--show"}).out);
  ASSERT_NE(table_after, table_before);

  // What is renamed into place is on the disk before the first rename, and the renames
  // after the last.
  const std::vector<std::string>& calls = commit.calls;
  const auto first = std::find(calls.begin(), calls.end(), "rename");
  const auto last = std::find(calls.rbegin(), calls.rend(), "rename");
  ASSERT_NE(first, calls.end());
  EXPECT_NE(std::find(calls.begin(), first, "sync"), first);
  EXPECT_NE(std::find(calls.rbegin(), last, "sync"), last);

  int steps = 0;
  for (int step = 1;; ++step) {
    restore(saved);
    ChildOptions cut;
    cut.kill_at_step = step;
    if (!run_installer({"--commit"}, cut).killed) break;
    steps = step;
    std::map<std::string, std::string> now = by_path(tree("/"));
    std::map<std::string, std::string> all = before;
    all.insert(after.begin(), after.end());
    for (const auto& entry : all) {
      const std::string& path = entry.first;
      const auto find = [&path](const std::map<std::string, std::string>& lines) {
        const auto found = lines.find(path);
        return found == lines.end() ? std::string("absent") : found->second;
      };
      const std::string state = find(now);
      EXPECT_TRUE(state == find(before) || state == find(after))
          << "cut at step " << step << ": " << path << " is " << state;
    }
    const RunResult show = run_installer({"-q", "--show"});
    EXPECT_EQ(show.status, 0) << step;
    const auto table = table_lines(show.out);
    EXPECT_EQ(table.size(), table_before.size()) << step << "\n" << show.out;
    for (const std::string& line : table) {
      EXPECT_TRUE(table_before.count(line) || table_after.count(line))
          << "cut at step " << step << ": " << line;
    }
    EXPECT_EQ(run_installer({"--commit"}).status, 0) << step;
    EXPECT_EQ(tree("/"), done) << "finishing after a cut at step " << step;
  }
  EXPECT_GT(steps, 5);
  std::filesystem::remove_all(saved);
}

}  // namespace
