#include "installer/options.h"

#include <cstring>
#include <ostream>

#include "planning/admission.h"

namespace {

// "--dry-run" counts wherever it stands: a mode that ends the scan before reaching it must
// not turn a trial into a real run.
bool asks_for_dry_run(int argc, char* argv[]) {
  bool scanning = true;  // until a mode ends the scan, -r and --month take the next argument
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (std::strcmp(arg, "--dry-run") == 0) return true;
    const bool takes_value = std::strcmp(arg, "-r") == 0 || std::strcmp(arg, "--month") == 0;
    if (scanning && takes_value && i + 1 < argc) ++i;
    scanning = scanning && std::strcmp(arg, "-") != 0 && std::strcmp(arg, "--cleanup") != 0;
  }
  return false;
}

}  // namespace

ScanOutcome scan_options(int argc, char* argv[], RunOptions& options, std::ostream& out) {
  options.dry_run = asks_for_dry_run(argc, argv);
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    const bool has_next = i + 1 < argc;
    auto is = [arg](const char* option) { return std::strcmp(arg, option) == 0; };
    if (is("--cleanup")) {
      options.cleanup = true;
      return ScanOutcome::run;
    } else if (is("--safe")) {
      options.commit_now = false;
    } else if (is("-r") && has_next) {
      options.root = argv[++i];
    } else if (is("-")) {
      options.from_stdin = true;
      return ScanOutcome::run;
    } else if (is("-q")) {
      options.quiet = true;
    } else if (is("-down")) {
      options.allow |= ADMIT_DOWNGRADE;
    } else if (is("--reinstall")) {
      out << std::endl << "Resuming upgrade..." << std::endl;
      options.allow |= ADMIT_SAME;
    } else if (is("-b") || is("--force") || is("--noupgrade")) {
    } else if (is("--month") && has_next) {
      ++i;
    } else if (is("-i")) {
    } else if (is("--commit")) {
      return options.dry_run ? ScanOutcome::dry_run_refused : ScanOutcome::commit;
    } else if (is("--cancel")) {
      return options.dry_run ? ScanOutcome::dry_run_refused : ScanOutcome::cancel;
    } else if (is("--show")) {
      options.show = true;
    } else if (is("--dry-run")) {
    } else if (is("--version")) {
      return ScanOutcome::version;
    } else {
      return ScanOutcome::usage;
    }
  }
  return ScanOutcome::run;
}
