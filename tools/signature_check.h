// Whether an installer built with a key set would take a package file's signatures, and
// if not, why: shared by verify, which reports it, and bundle, which signs members again
// only when they are intact.
#pragma once

#include <string>
#include <vector>

#include "format/signature.h"
#include "package/version.h"

// One signed package of a file: a plain package, or a member of a bundle.
struct SignedPackage {
  std::string name;
  Version version = 0;
  int level = -1;  // -1: no signature part
  int required = 0;
  unsigned char key_id[SIGNATURE_KEY_ID_SIZE] = {};
};

struct SignatureCheck {
  std::vector<SignedPackage> packages;
  std::string unreadable;  // the file cannot be read or is no package file: why
  std::string reason;      // empty when taken; else why not
};

// Checks the file at `path` against `keys`, read from `key_dir` (named in reasons).
// `at_least` is the level each package needs: 0 means the level its name and version
// require.
SignatureCheck check_signatures(const std::string& path, const SignatureKeys& keys,
                                const std::string& key_dir, int at_least = 0);
