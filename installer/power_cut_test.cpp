// Every run mode that changes the flash, cut short at every step as a power cut would: each
// file is old or new, the package table shows each package old or new, and running the mode
// again ends exactly where an uninterrupted run ends, with no staged file left. Then the same
// on a disk whose unflushed writes are lost at each cut, and upgrades whose calls fail.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <iterator>
#include <sstream>
#include <tuple>

#include "testing/test_packages.h"
#include "testing/whole_run.h"

namespace {

// A package with `files`, or `at_v2` at any other version than V1.
TestPackage package(const std::string& name, Version version, std::vector<ArchiveEntry> files,
                    std::optional<std::vector<ArchiveEntry>> at_v2 = std::nullopt) {
  TestPackage p = test_package(name, version);
  p.files = version != V1 && at_v2 ? *at_v2 : files;
  return p;
}

// An image part kept as /flash/var/pdb/app/image. v2 replaces a file, adds one in a new
// directory, and drops one.
std::string app(Version version) {
  TestPackage p = package("app", version, {file_entry("etc/a", "a1"), file_entry("etc/b", "b1")},
                          {{file_entry("etc/a", "a2"), file_entry("lib/x/d", "d2", 0755)}});
  p.image = "app image " + version_text(version);
  return package_bytes(p);
}

// The system image, kept as /flash/bootimage and linked from its database entry.
std::string system_package(Version version) {
  TestPackage p =
      package("system", version, {file_entry("boot/k", "k1"), file_entry("boot/old", "o1")},
              {{file_entry("boot/k", "k2"), file_entry("lib/mod/m", "m2")}});
  p.image = "kernel " + version_text(version);
  p.group.header_flags = HEADER_BOOT_IMAGE;
  return package_bytes(p);
}

// Made for no current system: --cleanup removes it.
std::string old_package(Version version) {
  return package_bytes(
      package("old", version, {file_entry("etc/old", "o"), file_entry("lib/old/x", "x")}));
}

// Without an image part the database keeps text files only. v2 replaces a file with an
// empty one, adds one in a new directory, and drops one. A file without data is staged
// without a size hint, which puts it in RAM; its new mode shows a copy into place cut
// halfway.
std::string plain(Version version) {
  return package_bytes(
      package("plain", version, {file_entry("etc/p", "p1"), file_entry("etc/q", "q1")},
              {{file_entry("etc/p", "", 0755), file_entry("lib/p/n", "n2", 0755)}}));
}

// Bundle "m" with members "a", the same at both versions, and "z", which v2 changes as
// above; v2 also brings "zz".
std::string bundle(Version version) {
  std::vector<TestPackage> members = {
      package("a", version, {file_entry("etc/ma", "a")}),
      package("z", version, {file_entry("etc/z", "z1"), file_entry("etc/y", "y1")},
              {{file_entry("etc/z", "z2"), file_entry("lib/z/d", "d2")}})};
  if (version != V1) members.push_back(package("zz", version, {file_entry("etc/zz", "zz")}));
  return bundle_bytes(header_group("m", version), members);
}

// Bundle "routeros": "system", which carries the boot image (with "bootimage" set the
// whole bundle becomes /flash/bootimage), and "net", whose file tells the version.
std::string routeros(Version version) {
  TestPackage system = package("system", version, {file_entry("boot/k", "k")});
  system.group.header_flags = HEADER_BOOT_IMAGE;
  return bundle_bytes(
      header_group("routeros", version),
      {system, package("net", version, {file_entry("etc/net", "net " + version_text(version))})});
}

enum Flags : unsigned {
  UPGRADE = 1,           // the first package installed is then offered at V2
  BOOTIMAGE = 2,         // env bootimage=1
  STDIN = 4,             // the offer comes on standard input
  SAVED = 8,             // an "--safe" run stages the offer first
  RAM_FILE_SYSTEM = 16,  // "/ram" on a tmpfs of its own, emptied by every cut as on a router
  // Also upgraded, and committed once "--safe" staged it, with calls failing one at a time.
  FAULTS = 32,
};

struct Scenario {
  const char* name;
  // What the start state installs first: package files at V1, made once the test knows it
  // can sign, downloaded as "0.vmp", "1.vmp"...
  std::vector<std::string (*)(Version)> installed;
  std::vector<std::string> args;  // the run that is cut; run again to finish
  unsigned flags = 0;
  // Written once the installed packages are in, as other programs do: path, contents.
  std::vector<std::pair<std::string, std::string>> written = {};
};

const Scenario SCENARIOS[] = {
    {"upgrade", {app}, {"-q"}, UPGRADE | FAULTS},
    {"boot_image", {system_package}, {"-q"}, UPGRADE | BOOTIMAGE},
    {"stream", {app}, {"-q", "-"}, UPGRADE | STDIN},
    {"cleanup", {system_package, old_package}, {"-q", "--cleanup"}},
    {"commit", {app}, {"--commit"}, UPGRADE | SAVED},
    {"bundle", {bundle}, {"-q"}, UPGRADE | FAULTS},
    {"bundle_stream", {bundle}, {"-q", "-"}, UPGRADE | STDIN},
    {"boot_image_bundle", {routeros}, {"-q"}, UPGRADE | BOOTIMAGE | FAULTS},
    {"without_image", {plain}, {"-q"}, UPGRADE},
    // Not the only package: a plan that leaves nothing active is refused.
    {"scheduled_uninstall", {bundle, app}, {"-q"}, 0, {{"/ram/pdb/m/schedule", "uninstall\n"}}},
    {"ram_elsewhere", {plain}, {"-q"}, UPGRADE | RAM_FILE_SYSTEM},
};

using Lines = std::map<std::string, std::string>;

// Staged files and their directory, which a cut may leave for the next run to delete.
const std::regex STAGING("(/\\.staging(/.+)?|/tmp[A-Za-z0-9]{6})$");

// Package name -> its line of the table.
Lines table(const std::string& text) {
  Lines lines;
  std::istringstream in(text);
  std::string line;
  for (int at = 0; std::getline(in, line); ++at) {
    if (at >= 2) lines[line.substr(0, line.find(' '))] = line;  // below the header
  }
  return lines;
}

// The keys whose line in `now` is neither that in `before` nor that in `after` (or absent
// from both), one per line; keys that only `now` has pass when they match `extra`.
std::string neither_old_nor_new(const Lines& now, const Lines& before, const Lines& after,
                                const std::regex* extra = nullptr) {
  const auto state = [](const Lines& lines, const std::string& key) {
    const auto found = lines.find(key);
    return found == lines.end() ? std::string("absent") : found->second;
  };
  Lines all = now;
  all.insert(before.begin(), before.end());
  all.insert(after.begin(), after.end());
  std::string text;
  for (const auto& [key, line] : all) {
    const std::string is = state(now, key);
    if (is == state(before, key) || is == state(after, key)) continue;
    if (extra && !before.count(key) && !after.count(key) && std::regex_search(key, *extra)) {
      continue;
    }
    text += key + ": " + is + "\n";
  }
  return text;
}

// On a disk root, what the next run starts from must be on the disk.
void flush(const std::string& dir) {
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(::syncfs(fd), 0);
  ::close(fd);
}

// Whole runs from a scenario's start state, traced.
class SteppedRun : public WholeRun {
 protected:
  void SetUp() override {
    WholeRun::SetUp();
    if (IsSkipped()) return;
    SKIP_WITHOUT_SIGNING_KEYS();
    if (!can_trace_children()) GTEST_SKIP() << "system calls of a child cannot be traced here";
  }

  // Every entry, files whole, without the post log, whose messages differ; and without
  // "/ram" when asked (memory on a router, which a power cut empties).
  Lines entries(bool ram = true) const {
    Lines lines = tree_entries("/", true);
    lines.erase("/flash/postlog");
    for (auto it = lines.begin(); !ram && it != lines.end();) {
      it = it->first.rfind("/ram", 0) == 0 ? lines.erase(it) : std::next(it);
    }
    return lines;
  }

  ChildOptions options(const Scenario& scenario) const {
    ChildOptions options;
    if (scenario.flags & BOOTIMAGE) options.env = {{"bootimage", "1"}};
    if (scenario.flags & STDIN) options.stdin_data = stdin_bytes_;
    if (scenario.flags & RAM_FILE_SYSTEM) options.mounts = {{"/ram", "4m"}};
    return options;
  }

  void prepare(const Scenario& scenario, unsigned flags) {
    make_dirs("/flash/var/pdb");
    for (size_t i = 0; i < scenario.installed.size(); ++i) {
      write_file(DOWNLOAD + std::to_string(i) + ".vmp", scenario.installed[i](V1));
    }
    ChildOptions first = options(scenario);
    first.stdin_data.clear();
    ASSERT_EQ(run_installer({"-q"}, first).status, 0);
    for (const auto& [path, contents] : scenario.written) write_file(path, contents);
    if (flags & UPGRADE) {
      const std::string offered = scenario.installed.front()(V2);
      if (flags & STDIN) {
        stdin_bytes_ = offered;
      } else {
        write_file(DOWNLOAD + "0.vmp", offered);
      }
    }
    if (flags & SAVED) {
      ASSERT_EQ(run_installer({"-q", "--safe"}, options(scenario)).status, 0);
    }
  }

  // The mode run again, undisturbed, ends exactly where the uninterrupted run ended.
  void expect_rerun_finishes(const Scenario& scenario, const std::vector<std::string>& args,
                             const Lines& done, bool ram = true) {
    const RunResult rerun = run_installer(args, options(scenario));
    // Once the journal has finished the install, a bundle on standard input is the version
    // installed, which stream mode refuses with status 2; a single package passes.
    // The files tell whether it had been finished.
    const bool bundle_installed = (scenario.flags & STDIN) && rerun.status == 2;
    EXPECT_TRUE(rerun.status == 0 || bundle_installed) << rerun.status << rerun.out << rerun.err;
    const Lines finished = entries(ram);
    EXPECT_EQ(tree_differences(done, finished), "") << "the rerun did not finish";
    EXPECT_EQ(staged_files(finished), std::vector<std::string>());
  }

 private:
  std::string stdin_bytes_;
};

class PowerCut : public SteppedRun, public ::testing::WithParamInterface<std::tuple<int, bool>> {};

TEST_P(PowerCut, EveryStepLeavesFilesOldOrNewAndARerunFinishes) {
  const Scenario& scenario = SCENARIOS[std::get<0>(GetParam())];
  const bool disk = std::get<1>(GetParam());
  // The test sees the directory below the child's tmpfs, never what the runs put in RAM.
  const bool ram = !(scenario.flags & RAM_FILE_SYSTEM);
  if (!ram) require_mounts();
  if (disk) use_disk_root();
  if (IsSkipped() || HasFatalFailure()) return;
  prepare(scenario, scenario.flags);
  if (HasFatalFailure()) return;
  const std::string saved = root() + ".saved";
  save_root(saved);
  flush(root());
  const auto before = entries(ram);
  const auto table_before = table(run_installer({"-q", "--show"}).out);

  ChildOptions whole = options(scenario);
  whole.kill_at_step = 1 << 30;  // traced to the end
  const RunResult run = run_installer(scenario.args, whole);
  ASSERT_EQ(run.status, 0) << run.out << run.err;
  const auto after = entries(ram);
  const auto table_after = table(run_installer({"-q", "--show"}).out);
  ASSERT_NE(tree_differences(before, after), "") << "the run changed nothing";
  ASSERT_NE(table_after, table_before);
  EXPECT_EQ(staged_files(after), std::vector<std::string>());
  if (disk) {
    // What an ended run did is on the disk.
    const Lines ended = entries(false);
    lose_page_cache();
    const std::string lost = tree_differences(ended, entries(false));
    EXPECT_TRUE(lost.empty()) << "lost after the run ended:\n" << lost;
  }
  // What reaches its place is on the disk before the first rename, and the renames after
  // the last.
  const std::vector<std::string>& calls = run.calls;
  const auto first = std::find(calls.begin(), calls.end(), "rename");
  const auto last = std::find(calls.rbegin(), calls.rend(), "rename");
  if (first != calls.end()) {
    EXPECT_NE(std::find(calls.begin(), first, "sync"), first);
    EXPECT_NE(std::find(calls.rbegin(), last, "sync"), last);
  }

  int steps = 0;
  for (int step = 1;; ++step) {
    SCOPED_TRACE("cut at step " + std::to_string(step));
    restore_root(saved);
    flush(root());
    ChildOptions cut = options(scenario);
    cut.kill_at_step = step;
    if (!run_installer(scenario.args, cut).killed) break;
    steps = step;
    if (disk) lose_page_cache();
    ASSERT_FALSE(HasFatalFailure());
    // Staged files may be left, for the next run to delete.
    const std::string files = neither_old_nor_new(entries(ram), before, after, &STAGING);
    EXPECT_TRUE(files.empty()) << files;
    const RunResult show = run_installer({"-q", "--show"});
    EXPECT_EQ(show.status, 0);
    const std::string packages = neither_old_nor_new(table(show.out), table_before, table_after);
    EXPECT_TRUE(packages.empty()) << packages;
    expect_rerun_finishes(scenario, scenario.args, after, ram);
  }
  EXPECT_GT(steps, 5);
}

using FaultInjection = SteppedRun;

// A run whose flushes, renames, deletions and mode changes fail one at a time: one that
// reports success installed everything, one that fails says so, the only copy of the package
// is never lost, and a run without the fault finishes the job.
TEST_F(FaultInjection, AFailingCallNeverLosesThePackageAndARerunFinishes) {
  if (!can_inject_faults()) GTEST_SKIP() << "system calls cannot be failed here (x86-64 only)";
  for (const Scenario& scenario : SCENARIOS) {
    if (!(scenario.flags & FAULTS)) continue;
    const std::string download = DOWNLOAD + "0.vmp";
    for (const bool safe : {false, true}) {
      // Not quiet, so that a failure is reported.
      const std::vector<std::string> args =
          safe ? std::vector<std::string>{"--commit"} : std::vector<std::string>{};
      reset_root();
      prepare(scenario, scenario.flags | (safe ? unsigned(SAVED) : 0u));
      if (HasFatalFailure()) return;
      const std::string saved = root() + ".saved";
      save_root(saved);
      const Lines before = entries();
      ASSERT_EQ(run_installer(args, options(scenario)).status, 0);
      const Lines done = entries();
      // What holds the new version: with the download gone, these must.
      std::vector<std::string> installed;
      for (const auto& [path, line] : done) {
        if (!before.count(path) || before.at(path) != line) installed.push_back(path);
      }
      ASSERT_FALSE(exists(download));

      for (const char* call : {"syncfs", "fsync", "rename", "unlink", "fchmod"}) {
        for (int nth = 1; nth <= 40; ++nth) {
          SCOPED_TRACE(std::string(scenario.name) + (safe ? " --commit" : "") + ": " + call + " #" +
                       std::to_string(nth) + " fails");
          restore_root(saved);
          ChildOptions faulty = options(scenario);
          faulty.fault = InjectedFault{call, nth, EIO};
          const RunResult run = run_installer(args, faulty);
          if (!run.injected) break;
          const Lines now = entries();
          const std::string left = tree_differences(done, now);  // "-" not done yet
          SCOPED_TRACE("the faulted run's status: " + std::to_string(run.status) + ", left:\n" +
                       left);
          if (run.status == 0) {
            EXPECT_EQ(left, "") << "reported success";
          } else {
            EXPECT_EQ(run.status, 1);
            EXPECT_NE((run.out + run.err).find("ERROR: "), std::string::npos) << run.out << run.err;
          }
          bool kept = true;
          for (const std::string& path : installed) {
            kept = kept && now.count(path) && now.at(path) == done.at(path);
          }
          EXPECT_TRUE(exists(download) || kept);
          expect_rerun_finishes(scenario, args, done);
        }
      }
    }
  }
}

class DiskRoot : public RootFixture {};

// The sweeps on a disk mean something only if the cut loses what was not flushed, and the
// installer's children see the disk.
TEST_F(DiskRoot, APowerCutLosesWhatWasNotFlushedAndChildrenSeeTheDisk) {
  use_disk_root();
  if (IsSkipped() || HasFatalFailure()) return;
  const RunResult child = run_in_root([] {
    struct statfs info;
    return ::statfs("/flash", &info) == 0 && info.f_type == 0xEF53 ? 0 : 1;  // ext4
  });
  EXPECT_EQ(child.status, 0);
  write_file("/flash/kept", "k");
  flush(root());
  // The kernel may write a file back on its own before the cut (a busy machine does): one
  // of a few must be lost.
  bool lost = false;
  for (int round = 0; round < 5 && !lost; ++round) {
    const std::string name = "/flash/lost" + std::to_string(round);
    write_file(name, "l");
    lose_page_cache();
    lost = !exists(name);
  }
  EXPECT_TRUE(lost);
  EXPECT_EQ(read_file("/flash/kept"), "k");
  write_file("/flash/after", "a");  // the disk works again
  EXPECT_EQ(read_file("/flash/after"), "a");
}

INSTANTIATE_TEST_SUITE_P(Slow, PowerCut,
                         ::testing::Combine(::testing::Range(0, int(std::size(SCENARIOS))),
                                            ::testing::Bool()),
                         [](const ::testing::TestParamInfo<std::tuple<int, bool>>& info) {
                           return std::string(SCENARIOS[std::get<0>(info.param)].name) +
                                  (std::get<1>(info.param) ? "_on_disk" : "");
                         });

}  // namespace
