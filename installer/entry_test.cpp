// Whole installer runs inside a throwaway root.
#include "installer/entry.h"

#include <gtest/gtest.h>

#include "testing/whole_run.h"

namespace {

const std::string USAGE = "usage: installer [-q] [-r <root>] [-]\n";

using Entry = WholeRun;

}  // namespace

TEST_F(Entry, UnknownOrIncompleteArgumentsPrintUsageEvenWhenQuiet) {
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"--frobnicate"}, {"-r"}, {"--month"}, {"-q", "--frobnicate"}, {"--show", "x"}}) {
    const RunResult run = run_installer(args);
    EXPECT_EQ(run.status, 0) << args[0];
    EXPECT_EQ(run.out, USAGE) << args[0];
    EXPECT_EQ(run.err, "");
  }
}

TEST_F(Entry, ReinstallBannerComesFirstEvenWhenShowing) {
  const RunResult run = run_installer({"--reinstall", "--show", "-r", "/"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out.rfind("\nResuming upgrade...\n", 0), 0u) << run.out;
}

TEST_F(Entry, CommitWithoutSavedTransactionErasesItsSpinner) {
  const RunResult run = run_installer({"--commit"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "finishing install... \b \n");
}

TEST_F(Entry, CancelPrintsNothingAndDropsTheSavedTransaction) {
  write_file("/ram/MANIFEST", "");
  const RunResult run = run_installer({"-q", "--cancel"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "");
  EXPECT_FALSE(exists("/ram/MANIFEST"));
}

TEST_F(Entry, UnenterableRootIsReportedAndTheRunGoesOn) {
  const RunResult run = run_installer({"-r", "/no/such/root", "--show"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "chroot: No such file or directory\n");
}

TEST_F(Entry, StreamModeWithoutAStagingDirectoryCannotOpenItsImage) {
  write_file("/.staging", "a file where the flash's staging directory belongs");
  const RunResult run = run_installer({"-q", "-"}, ChildOptions{"data", false, {}, {}, {}});
  EXPECT_EQ(run.status, 255);
  EXPECT_EQ(run.out, "ERROR: could not open image\n");
  EXPECT_FALSE(exists("/flash/postlog"));
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
