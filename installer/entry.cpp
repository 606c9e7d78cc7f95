#include "installer/entry.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "database/database_reader.h"
#include "installer/options.h"
#include "installer/run_modes.h"
#include "package/console.h"
#include "package/repository.h"
#include "transaction/read_buffer.h"
#include "transaction/root_change.h"

int run_installer(int argc, char* argv[]) {
  Console console(std::cout);
  Repository repository;
  RunOptions options;
  switch (scan_options(argc, argv, options, std::cout)) {
    case ScanOutcome::usage:
      std::cout << USAGE_TEXT << std::endl;
      return 0;
    case ScanOutcome::commit:
      return commit_mode(console);
    case ScanOutcome::cancel:
      return cancel_mode(console);
    case ScanOutcome::version:
      std::cout << "installer " << INSTALLER_VERSION << std::endl;
      return 0;
    case ScanOutcome::dry_run_refused:
      std::cerr << "installer: --dry-run applies to the upgrade, \"-\" and --cleanup, not to "
                   "--commit or --cancel"
                << std::endl;
      return 2;
    case ScanOutcome::run:
      break;
  }

  if (!options.root.empty() && !change_root(options.root)) std::perror("chroot");
  if (::chdir("/") != 0) {
    // Nothing to do: the run goes on where it stands.
  }
  console.dry_run = options.dry_run && !options.show;
  // The database must tell what the flash holds before it is read. An interrupted commit
  // that fails again ends the run, and not without a word: quiet begins after it.
  if (console.dry_run) {
    if (interrupted_run_pending()) {
      console.warning("an interrupted commit would be finished first; it is not counted here");
    }
  } else if (!options.show) {
    if (const int status = finish_interrupted_run(console)) return status;
  }
  console.quiet = options.quiet;
  const char* arch = std::getenv("arch");
  // The table shows a few fields of each record; reading the rest would only slow it.
  if (!open_repository(repository, arch ? arch : "i386",
                       options.show ? RecordDetail::table : RecordDetail::full)) {
    console.warning("could not open repo");
  }

  if (options.show) return show_mode(repository);
  if (options.cleanup) return cleanup_mode(console, repository);
  if (options.from_stdin) {
    // Read in large blocks, where the standard stream would read a few kilobytes at a call.
    ReadBuffer input(65536);
    input.borrow(STDIN_FILENO);
    std::istream in(&input);
    return stream_mode(console, repository, options, in);
  }
  return upgrade_mode(console, repository, options);
}
