// Fuzz target: loading the database from hostile files, and planning on what was loaded.
// The input is the files of two entries and a schedule, each a 16-bit little-endian length
// and that many bytes; files the input does not reach are empty. (A separator byte would
// cut package images at their first occurrence of it.)
#include <algorithm>
#include <ostream>
#include <sstream>
#include <vector>

#include "database/database_reader.h"
#include "fuzz/fuzz_root.h"
#include "installer/package_table.h"
#include "package/console.h"
#include "package/repository.h"
#include "planning/schedule_plan.h"

namespace {

const char* const FILES[] = {
    "/flash/var/pdb/p/image",    "/flash/var/pdb/p/version",   "/flash/var/pdb/p/deps",
    "/flash/var/pdb/p/provides", "/flash/var/pdb/p/conflicts", "/flash/var/pdb/p/bundle",
    "/flash/var/pdb/p/files",    "/flash/var/pdb/p/disabled",  "/flash/var/pdb/p/enabled",
    "/ram/pdb/p/schedule",       "/flash/var/pdb/q/version",   "/flash/var/pdb/q/deps",
    "/flash/var/pdb/q/provides", "/flash/var/pdb/q/files",     "/rw/pckg/.images/q",
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  enter_fuzz_root();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  size_t at = 0;
  for (const char* path : FILES) {
    size_t length = 0;
    if (at + 2 <= size) {
      length = size_t(data[at]) | size_t(data[at + 1]) << 8;
      at += 2;
    }
    length = std::min(length, size - at);
    put_file(path, data + at, length);
    at += length;
  }
  std::ostringstream printed;
  Console console(printed);
  console.quiet = true;
  Repository repository;
  (void)open_repository(repository, "i386");
  std::ostringstream table;
  print_package_table(repository, table);
  std::vector<Package*> removals, enables;
  (void)plan_scheduled(repository, console, removals, enables, ReportLevel::silent);
  return 0;
}
