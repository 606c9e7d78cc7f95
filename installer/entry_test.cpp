// The command line, and whole installer runs inside a throwaway root.
#include "installer/entry.h"

#include <gtest/gtest.h>

#include <sstream>
#include <vector>

#include "installer/options.h"
#include "testing/case_file.h"
#include "testing/whole_run.h"

namespace {

const std::string USAGE = "usage: installer [-q] [-r <root>] [-]\n";

using Entry = WholeRun;

// The outcome and every option that differs from its default, then what was printed.
std::string scan(std::vector<std::string> args) {
  args.insert(args.begin(), "installer");
  RunOptions options;
  std::ostringstream out;
  const ScanOutcome outcome =
      scan_options(static_cast<int>(args.size()), argv_of(args).data(), options, out);
  const char* const outcomes[] = {"run", "usage", "commit", "cancel", "version", "refused"};
  std::string text = outcomes[int(outcome)];
  if (options.cleanup) text += " cleanup";
  if (options.from_stdin) text += " stdin";
  if (options.quiet) text += " quiet";
  if (options.show) text += " show";
  if (options.allow != 0) text += " allow=" + std::to_string(options.allow);
  if (!options.root.empty()) text += " root=" + options.root;
  if (!options.commit_now) text += " safe";
  if (options.dry_run) text += " dry";
  return text + out.str();
}

std::vector<TestCase> option_cases() {
  return read_cases("installer/testdata/options.txt", {"args", "scanned", "run?"});
}

// A case's text with its escapes and the usage line filled in.
std::string unescaped(std::string text) {
  for (const auto& [from, to] : {std::pair<std::string, std::string>{"\\n", "\n"},
                                 {"\\b", "\b"},
                                 {"{usage}", USAGE},
                                 {"{version}", INSTALLER_VERSION}}) {
    for (size_t at; (at = text.find(from)) != std::string::npos;) text.replace(at, from.size(), to);
  }
  return text;
}

}  // namespace

TEST(Options, ScannedInOrderUntilAModeEndsTheScan) {
  for (const TestCase& c : option_cases()) {
    SCOPED_TRACE(c.label());
    EXPECT_EQ(scan(c.list("args")), unescaped(c.text("scanned")));
  }
}

TEST_F(Entry, UsageEvenWhenQuietAndRunsWithNothingToDo) {
  for (const TestCase& c : option_cases()) {
    if (c.values.count("run") == 0) continue;
    SCOPED_TRACE(c.label());
    const RunResult result = run_installer(c.list("args"));
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, unescaped(c.text("run")));
    EXPECT_EQ(result.err, "");
  }
  write_file("/ram/MANIFEST", "");
  const RunResult cancel = run_installer({"-q", "--cancel"});
  EXPECT_EQ(cancel.status, 0);
  EXPECT_EQ(cancel.out, "");
  EXPECT_FALSE(exists("/ram/MANIFEST"));
  // The banner comes first, even when showing.
  const RunResult reinstall = run_installer({"--reinstall", "--show", "-r", "/"});
  EXPECT_EQ(reinstall.status, 0);
  EXPECT_EQ(reinstall.out.rfind("\nResuming upgrade...\n", 0), 0u) << reinstall.out;
  // A root that cannot be entered is reported, and the run goes on.
  const RunResult unenterable = run_installer({"-r", "/no/such/root", "--show"});
  EXPECT_EQ(unenterable.status, 0);
  EXPECT_EQ(unenterable.err, "chroot: No such file or directory\n");
}

TEST_F(Entry, QuietDoesNotHideAnInterruptedCommitThatFailsAgain) {
  // The journal renames onto a path under a file, which can never succeed.
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"-q"}, {"-q", "-"}, {"-q", "--cleanup"}}) {
    SCOPED_TRACE(args.back());
    write_file("/.staging/tmpAAAAAA", "x");
    write_file("/flash/var/pdb/zz", "not a directory");
    write_file("/.staging/journal", "M /flash/var/pdb/zz/version /.staging/tmpAAAAAA\n");
    const RunResult run = run_installer(args);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "ERROR: can not commit: Not a directory\n");
  }
}

TEST_F(Entry, RealProgramChangesIntoTheRoot) {
  // A directory that exists only inside the root proves the program entered it: the stream
  // image can be created only where /flash/var/pdb exists. The install of an empty stream
  // then fails (1, not 255), and its image is not left behind.
  make_dirs("/flash/var/pdb");
  const RunResult show = run_binary({"-r", root(), "--show"});
  EXPECT_EQ(show.status, 0) << show.err;
  EXPECT_EQ(show.err, "");

  const RunResult stream = run_binary({"-q", "-r", root(), "-"});
  EXPECT_EQ(stream.status, 1);
  EXPECT_EQ(stream.out, "");
  EXPECT_FALSE(exists("/flash/var/pdb/image"));

  const RunResult usage = run_binary({"-q", "--month"});
  EXPECT_EQ(usage.status, 0);
  EXPECT_EQ(usage.out, USAGE);
}
