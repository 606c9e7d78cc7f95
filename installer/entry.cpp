#include "installer/entry.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "database/database_reader.h"
#include "installer/options.h"
#include "installer/root_change.h"
#include "installer/run_modes.h"
#include "package/repository.h"
#include "transaction/file_source.h"

int run_installer(int argc, char* argv[]) {
  Repository& repository = Repository::instance();
  RunOptions options;
  switch (scan_options(argc, argv, options, std::cout)) {
    case ScanOutcome::usage:
      std::cout << USAGE_TEXT << std::endl;
      return 0;
    case ScanOutcome::commit:
      return commit_mode(repository);
    case ScanOutcome::cancel:
      return cancel_mode(repository);
    case ScanOutcome::run:
      break;
  }

  if (!options.root.empty() && !change_root(options.root)) std::perror("chroot");
  if (::chdir("/") != 0) {
    // Nothing to do: the run goes on where it stands.
  }
  // The database must tell what the flash holds before it is read.
  if (!options.show) {
    if (const int status = finish_interrupted_run(repository)) return status;
  }
  const char* arch = std::getenv("arch");
  // The table shows a few fields of each record; reading the rest would only slow it.
  open_repository(repository, options.quiet, arch ? arch : "i386",
                  options.show ? RecordDetail::table : RecordDetail::full);

  if (options.show) return show_mode(repository);
  if (options.cleanup) return cleanup_mode(repository);
  if (options.from_stdin) {
    // Read in large blocks, where the standard stream would read a few kilobytes at a call.
    FileSource input;
    input.borrow(STDIN_FILENO);
    std::istream in(&input);
    return stream_mode(repository, options, in);
  }
  return upgrade_mode(repository, options);
}
