// Fuzz target: installing a package or bundle from a stream, up to and including the
// signature check, into a throwaway transaction that is then cancelled. Nothing may be left
// behind, and the flash must not change.
#include <sstream>

#include "fuzz/fuzz_root.h"
#include "installer/stream_install.h"
#include "package/console.h"
#include "package/repository.h"
#include "planning/admission.h"
#include "transaction/commit.h"
#include "transaction/manifest.h"

namespace {

std::string flash_before;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  enter_fuzz_root();
  const uint8_t version[] = "16803328 1\n";
  put_file("/flash/var/pdb/base/version", version, sizeof version - 1);
  flash_before = listing("/flash");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::ostringstream printed;
  Console console(printed);
  console.quiet = true;
  Repository repository("i386");
  auto base = std::make_unique<Package>("base");
  base->version = 16803328;
  repository.add(std::move(base));

  std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
  std::stringbuf tee;
  Manifest manifest;
  std::string database_dir;
  bool boot_image = false;
  (void)stream_install(console, repository, manifest, in, ADMIT_UPGRADE | ADMIT_DOWNGRADE, {}, &tee,
                       &database_dir, &boot_image);
  cancel(manifest);
  require(listing("/flash") == flash_before, "the flash is as it was");
  require(listing("/ram").empty() && listing("/tmp").empty(), "no temporary file is left");
  require(tee.str() == std::string(reinterpret_cast<const char*>(data), tee.str().size()),
          "the copy is the bytes read");
  return 0;
}
