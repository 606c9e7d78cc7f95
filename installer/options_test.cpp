#include "installer/options.h"

#include <gtest/gtest.h>

#include <sstream>
#include <vector>

#include "planning/admission.h"

namespace {

struct Scan {
  ScanOutcome outcome;
  RunOptions options;
  std::string printed;
};

Scan scan(std::vector<std::string> args) {
  args.insert(args.begin(), "installer");
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  Scan result;
  std::ostringstream out;
  result.outcome = scan_options(static_cast<int>(args.size()), argv.data(), result.options, out);
  result.printed = out.str();
  return result;
}

}  // namespace

TEST(Options, ScanStopsAtCleanupAndStdinIgnoringTheRest) {
  auto show_then_cleanup = scan({"--show", "--cleanup", "--frobnicate"});
  EXPECT_EQ(show_then_cleanup.outcome, ScanOutcome::run);
  EXPECT_TRUE(show_then_cleanup.options.show);
  EXPECT_TRUE(show_then_cleanup.options.cleanup);

  auto cleanup_then_show = scan({"--cleanup", "--show"});
  EXPECT_TRUE(cleanup_then_show.options.cleanup);
  EXPECT_FALSE(cleanup_then_show.options.show);

  auto stdin_then_show = scan({"-", "--show", "-r"});
  EXPECT_EQ(stdin_then_show.outcome, ScanOutcome::run);
  EXPECT_TRUE(stdin_then_show.options.from_stdin);
  EXPECT_FALSE(stdin_then_show.options.show);
}

TEST(Options, OptionsWithArgumentsAndFlags) {
  auto full = scan({"-q", "--safe", "-r", "/mnt/root", "-down", "-b", "--force", "--noupgrade",
                    "--month", "--show", "-i"});
  EXPECT_EQ(full.outcome, ScanOutcome::run);
  EXPECT_TRUE(full.options.quiet);
  EXPECT_FALSE(full.options.commit_now);
  EXPECT_EQ(full.options.root, "/mnt/root");
  EXPECT_EQ(full.options.allow, ADMIT_DOWNGRADE);
  EXPECT_FALSE(full.options.show) << "--month takes the next argument";

  auto reinstall = scan({"--reinstall", "--show"});
  EXPECT_EQ(reinstall.printed, "\nResuming upgrade...\n");
  EXPECT_EQ(reinstall.options.allow, ADMIT_SAME);
  EXPECT_TRUE(reinstall.options.show);
}

TEST(Options, ImmediateModesAndUsage) {
  EXPECT_EQ(scan({"-r", "/x", "--commit", "--bogus"}).outcome, ScanOutcome::commit);
  EXPECT_EQ(scan({"--cancel"}).outcome, ScanOutcome::cancel);
  EXPECT_EQ(scan({"--frobnicate"}).outcome, ScanOutcome::usage);
  EXPECT_EQ(scan({"-r"}).outcome, ScanOutcome::usage);
  EXPECT_EQ(scan({"--show", "--month"}).outcome, ScanOutcome::usage);
  EXPECT_EQ(scan({"--SHOW"}).outcome, ScanOutcome::usage);
  EXPECT_EQ(scan({}).outcome, ScanOutcome::run);
}
