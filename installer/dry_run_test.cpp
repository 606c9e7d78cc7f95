// A dry run against the real run that follows it on the same root: the same statuses and
// messages, its "would" lines the real run's change lines, and not one byte written.
#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <set>
#include <sstream>

#include "testing/test_packages.h"
#include "testing/whole_run.h"

namespace {

TestPackage with_file(const std::string& name, Version version, bool image = true) {
  TestPackage package = test_package(name, version);
  package.files = {file_entry("etc/" + name, name + " " + version_text(version))};
  if (image) package.image = "";
  return package;
}

// What a run changed and said: the change lines, errors and warnings, without the status
// line's controls. A dry run's "would install x" reads as "installed x"; a change line of
// its own would be a change it made.
std::set<std::string> told(const std::string& out, bool dry) {
  static const std::regex controls("\x1b\\[[0-9;?]*[A-Za-z]");
  static const std::regex would("^would (install|uninstall|enable|disable) ");
  static const std::regex said("^((un)?installed|enabled|disabled|ERROR:|WARNING:) ");
  std::set<std::string> lines;
  std::istringstream in(std::regex_replace(out, controls, ""));
  for (std::string line; std::getline(in, line, '\n');) {
    line = line.substr(line.rfind('\r') == std::string::npos ? 0 : line.rfind('\r') + 1);
    std::smatch match;
    if (dry && std::regex_search(line, match, would)) {
      const std::string verb = match[1];
      line = verb + (verb.back() == 'e' ? "d " : "ed ") + match.suffix().str();
    } else if (dry && std::regex_search(line, said) && line.find(':') > line.find(' ')) {
      line = "made: " + line;
    }
    if (std::regex_search(line, said) || line.compare(0, 6, "made: ") == 0) lines.insert(line);
  }
  return lines;
}

// The removals, enables and disables between two listings of the database (one
// "name-version [disabled] ..." line per record), which a run may make without a word.
std::set<std::string> changed(const std::string& before, const std::string& after) {
  auto records = [](const std::string& listing) {
    std::map<std::string, std::pair<std::string, bool>> by_name;  // name: display, disabled
    std::istringstream in(listing);
    for (std::string line; std::getline(in, line);) {
      const std::string display = line.substr(0, line.find(' '));
      by_name[display.substr(0, display.rfind('-'))] = {
          display, line.find(" disabled") != std::string::npos};
    }
    return by_name;
  };
  const auto old = records(before), now = records(after);
  std::set<std::string> lines;
  for (const auto& [name, record] : old) {
    const auto kept = now.find(name);
    if (kept == now.end()) {
      lines.insert("uninstalled " + record.first);
    } else if (kept->second.first == record.first && kept->second.second != record.second) {
      lines.insert((record.second ? "enabled " : "disabled ") + record.first);
    }
  }
  return lines;
}

class DryRun : public SignedRun {
 protected:
  void SetUp() override {
    SignedRun::SetUp();
    if (IsSkipped()) return;
    // Installed: system, base and tool with images, old in text form; tool excludes
    // "rival".
    TestPackage tool = with_file("tool", V1);
    tool.group.conflicts = std::vector<Dependency>{{"rival", 0, 0, 0}};
    offer("system", package_bytes(with_file("system", V1)));
    offer("base", package_bytes(with_file("base", V1)));
    offer("tool", package_bytes(tool));
    offer("old", package_bytes(with_file("old", V1, false)));
    ASSERT_EQ(run_installer({"-q"}).status, 0);
    ASSERT_EQ(loaded_records(), "base-1.0\nold-1.0\nsystem-1.0\ntool-1.0\n");
    remove("/rw/pckg/.download/old.vmp");  // a download without an image stays
  }

  void offer(const std::string& name, const std::string& bytes) {
    write_file("/rw/pckg/.download/" + name + ".vmp", bytes);
  }
};

TEST_F(DryRun, SaysWhatTheRealRunThenDoesAndWritesNothing) {
  TestPackage app = with_file("app", V1, false);
  app.group.depends = std::vector<Dependency>{{"base", V2, 0, 0}};
  TestPackage blocker = with_file("blocker", V1);
  blocker.group.conflicts = std::vector<Dependency>{{"base", 0, 0, 0}};
  TestPackage kernel = with_file("kernel", V1);
  kernel.group.header_flags = HEADER_BOOT_IMAGE;
  const std::string baseline = root() + "-baseline";
  save_root(baseline);
  // The dry run and then the real one on what the lines before prepared; then the baseline.
  const auto check = [&](const char* name, const std::vector<std::string>& args = {},
                         const std::string& input = "", bool changes = true) {
    SCOPED_TRACE(name);
    const std::string records = loaded_records();
    const auto before = tree_entries("/", true);
    ChildOptions options;
    options.stdin_data = input;
    options.env = {{"bootimage", "1"}};  // "kernel" is kept at /flash/bootimage
    std::vector<std::string> dry_args = args;
    dry_args.push_back("--dry-run");  // also after "-" and --cleanup, which end the scan
    const RunResult dry = run_installer(dry_args, options);
    EXPECT_EQ(tree_differences(before, tree_entries("/", true)), "");
    const RunResult real = run_installer(args, options);
    EXPECT_EQ(dry.status, real.status) << dry.out << real.out;
    std::set<std::string> made = told(real.out, false);
    made.merge(changed(records, loaded_records()));
    EXPECT_EQ(told(dry.out, true), made) << dry.out;
    EXPECT_EQ(before != tree_entries("/", true), changes);
    restore_root(baseline);
  };
  offer("base", package_bytes(with_file("base", V2)));
  offer("app", package_bytes(app));
  offer("rival", package_bytes(with_file("rival", V1)));
  check("upgrade, a dependency and a conflict");
  const std::vector<TestPackage> one_two = {with_file("one", V1), with_file("two", V1)};
  offer("suite", bundle_bytes(header_group("suite", V1), one_two, {"two"}));
  check("a bundle with a member listed disabled");
  offer("blocker", package_bytes(blocker));
  check("a newcomer that excludes an enabled package");
  offer("suite", bundle_bytes(header_group("suite", V1), one_two, {}));
  ASSERT_EQ(run_installer({"-q"}).status, 0);
  offer("suite", bundle_bytes(header_group("suite", V2), {with_file("one", V2)}, {}));
  check("a bundle that drops a member");
  write_file("/ram/pdb/old/schedule", "uninstall\n");
  write_file("/ram/pdb/tool/schedule", "disable\n");
  check("schedules");
  offer("base", package_bytes(with_file("base", V1)));
  check("the same version again", {"-down"});
  check("stream mode", {"-"}, package_bytes(with_file("rival", V2)));
  offer("kernel", package_bytes(kernel));
  check("a boot image");
  check("a boot image from standard input", {"-"}, package_bytes(kernel));
  check("a broken stream", {"-"}, "VMPK", false);
  check("cleanup", {"--cleanup"});
  offer("app", package_bytes(with_file("app", V1)));
  check("--safe", {"--safe"});
}

// The space check counts the files a dry run would stage, and the copy it would keep.
TEST_F(DryRun, CountsTheRoomItsFilesWouldTake) {
  require_mounts();
  TestPackage big = test_package("big", V1);
  big.files = {file_entry("big", std::string(300000, '\0'))};
  ChildOptions small;
  small.mounts = {{"/flash", "256k"}};
  for (const bool fits : {false, true}) {
    SCOPED_TRACE(fits);
    offer("big", package_bytes(fits ? with_file("big", V1) : big));
    const RunResult run = run_in_root(
        [] {
          std::filesystem::create_directories("/flash/var/pdb");
          const int dry = enter_installer({"-q", "--dry-run"});
          std::cout << "dry=" << dry << " ";
          std::cout << "real=" << enter_installer({"-q"});
          return 0;
        },
        small);
    EXPECT_EQ(run.out, fits ? "dry=0 real=0" : "dry=28 real=28");
  }
}

}  // namespace
