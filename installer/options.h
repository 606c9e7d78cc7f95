// The command line: options scanned in order, each compared whole and case-sensitively.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>

constexpr const char* USAGE_TEXT = "usage: installer [-q] [-r <root>] [-]";

struct RunOptions {
  bool cleanup = false;
  bool from_stdin = false;
  bool quiet = false;
  bool show = false;
  uint32_t allow = 0;  // admission outcomes accepted beyond upgrades
  std::string root;
  bool commit_now = true;
  // Plan and check as the run would, writing nothing (upgrade, stream and cleanup modes).
  bool dry_run = false;
};

// What the scan asks for. The immediate ones act before the root change.
// `dry_run_refused`: "--commit" or "--cancel" with "--dry-run" (before or after), which
// they cannot honour.
enum class ScanOutcome { run, usage, commit, cancel, version, dry_run_refused };

// Scans argv[1..argc) into `options`. "--reinstall" prints its banner to `out` at once.
ScanOutcome scan_options(int argc, char* argv[], RunOptions& options, std::ostream& out);
