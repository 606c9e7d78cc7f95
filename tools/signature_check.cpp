#include "tools/signature_check.h"

#include <cstring>
#include <fstream>

#include "crypto/hex_text.h"
#include "format/package_reader.h"
#include "format/part_stream.h"
#include "tools/part_list.h"

namespace {

std::string refusal(const SignedPackage& package, const unsigned char* our_id,
                    const std::string& dir) {
  const std::string who = package.name + " " + version_text(package.version);
  if (package.level < 0) return who + " has no signature";
  if (package.level == 0) {
    const unsigned char none[SIGNATURE_KEY_ID_SIZE] = {};
    if (std::memcmp(package.key_id, our_id, SIGNATURE_KEY_ID_SIZE) == 0) {
      return who + ": digest mismatch: the file was changed after it was signed";
    }
    if (std::memcmp(package.key_id, none, SIGNATURE_KEY_ID_SIZE) == 0) {
      return who + ": the signature does not verify against " + dir +
             " (it names no key: changed after signing, or signed with another key set)";
    }
    return who + ": signed by another key set (key id " +
           to_hex(package.key_id, SIGNATURE_KEY_ID_SIZE) + ", " + dir + " has " +
           to_hex(our_id, SIGNATURE_KEY_ID_SIZE) + ")";
  }
  return who + " needs signature level " + std::to_string(package.required) +
         ", and it verifies at level " + std::to_string(package.level);
}

// Walks the file as the installer's check does, one entry per header group that a
// signature closes. False when a header group or list is broken.
bool read_signatures(const std::string& path, const SignatureKeys& keys,
                     std::vector<SignedPackage>& found) {
  std::ifstream in(path, std::ios::binary);
  PartStream stream(in, true);
  stream.accepted_types = {1, 2, 3, 4, 9, 16, 17, 18, 19, 20, 21, 23, 24};
  for (int32_t type = stream.next_part(); type != -1;) {
    if (type == PART_PACKAGE_HEADER || type == PART_BUNDLE_HEADER) {
      PackageInfo info;
      if (!read_header(info, stream)) return false;
      // A bundle's own header is covered by its members' signatures.
      if (type == PART_PACKAGE_HEADER) {
        found.push_back({info.name, info.version});
        found.back().required = required_signature_level(info.name, info.version);
      }
      type = stream.type;
      continue;
    }
    if (type == PART_SIGNATURE && !found.empty() && found.back().level < 0) {
      found.back().level = verify_signature_against(stream, keys, found.back().key_id);
    }
    type = stream.next_part();
  }
  return true;
}

}  // namespace

SignatureCheck check_signatures(const std::string& path, const SignatureKeys& keys,
                                const std::string& key_dir, int at_least) {
  SignatureCheck check;
  ContainerInfo container;
  if (!list_parts(
          path, container, [](const RawPart&) {}, check.unreadable, check.reason)) {
    check.reason = check.unreadable;
    return check;
  }
  if (check.reason.empty() && !read_signatures(path, keys, check.packages)) {
    check.reason = "a header group or list is damaged";
  }
  if (check.reason.empty() && check.packages.empty()) check.reason = "no package in it";
  unsigned char our_id[SIGNATURE_KEY_ID_SIZE];
  signature_key_id(keys, our_id);
  for (SignedPackage& package : check.packages) {
    if (at_least > 0) package.required = at_least;
    if (check.reason.empty() && package.level < package.required) {
      check.reason = refusal(package, our_id, key_dir);
    }
  }
  return check;
}
