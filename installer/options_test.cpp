#include "installer/options.h"

#include <gtest/gtest.h>

#include <sstream>
#include <vector>

#include "planning/admission.h"

namespace {

// The outcome and every option that differs from its default, then what was printed.
std::string scan(std::vector<std::string> args) {
  args.insert(args.begin(), "installer");
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  RunOptions options;
  std::ostringstream out;
  const ScanOutcome outcome =
      scan_options(static_cast<int>(args.size()), argv.data(), options, out);
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

}  // namespace

TEST(Options, ScannedInOrderUntilAModeEndsTheScan) {
  const std::string down = " allow=" + std::to_string(ADMIT_DOWNGRADE);
  const std::string same = " allow=" + std::to_string(ADMIT_SAME);
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{}, "run"},
      {{"--show", "--cleanup", "--frobnicate"}, "run cleanup show"},
      {{"--cleanup", "--show"}, "run cleanup"},
      {{"-", "--show", "-r"}, "run stdin"},
      // --month takes the next argument; -b, --force, --noupgrade and -i are accepted.
      {{"-q", "--safe", "-r", "/mnt/root", "-down", "-b", "--force", "--noupgrade", "--month",
        "--show", "-i"},
       "run quiet" + down + " root=/mnt/root safe"},
      {{"--reinstall", "--show"}, "run show" + same + "\nResuming upgrade...\n"},
      {{"-r", "/x", "--commit", "--bogus"}, "commit root=/x"},
      {{"--cancel"}, "cancel"},
      {{"-q", "--version", "--commit"}, "version quiet"},
      {{"--frobnicate"}, "usage"},
      {{"-r"}, "usage"},
      {{"--show", "--month"}, "usage show"},
      {{"--SHOW"}, "usage"},
      // --dry-run counts also after a mode that ends the scan, but not as -r's value.
      {{"-", "--dry-run"}, "run stdin dry"},
      {{"--dry-run", "--cleanup"}, "run cleanup dry"},
      {{"-r", "--dry-run"}, "run root=--dry-run"},
      {{"-", "-r", "--dry-run"}, "run stdin dry"},
      {{"--cancel", "--dry-run"}, "refused dry"},
      {{"--dry-run", "--commit"}, "refused dry"},
  };
  for (const auto& [args, expected] : cases) {
    EXPECT_EQ(scan(args), expected) << testing::PrintToString(args);
  }
}
