// Fuzz target: describing an offered package file (part stream, header groups, bundle
// members, size test).
#include "format/package_reader.h"
#include "fuzz/fuzz_root.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  enter_fuzz_root();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  put_file("/tmp/offer.vmp", data, size);
  PackageFile file;
  if (open_package_file(file, "/tmp/offer.vmp")) {
    require(!file.name.empty() && (!file.is_bundle || !file.members.empty()), "described file");
    require(file.members.size() <= MAX_BUNDLE_MEMBERS, "member limit");
  }
  return 0;
}
