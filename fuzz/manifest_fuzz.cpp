// Fuzz target: loading a saved transaction, projecting its free space, and saving it again:
// what is saved must load back as the same operations.
#include "fuzz/fuzz_root.h"
#include "transaction/boot_space.h"
#include "transaction/manifest.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  enter_fuzz_root();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  put_file("/ram/MANIFEST", data, size);
  Manifest manifest;
  (void)manifest.load("/ram/MANIFEST");
  (void)fits_boot_space(manifest);
  if (manifest.save("/ram/SAVED")) {
    Manifest again;
    require(again.load("/ram/SAVED"), "a saved transaction loads");
    require(again.operations().size() == manifest.operations().size(), "same operations");
    auto it = again.operations().begin();
    for (const auto& [path, op] : manifest.operations()) {
      // Both kinds of move are saved alike; which one a load sees depends on whether the
    // staging directory exists yet.
    const bool same_kind = it->op.kind == op.kind || (is_move(it->op) && is_move(op));
    require(it->path == path && same_kind && it->op.source == op.source, "same operation");
      ++it;
    }
  }
  return 0;
}
