// vmpkg verify: would an installer built with a key set take a package file's signatures,
// and if not, why.
#include <algorithm>
#include <cstring>
#include <fstream>

#include "authoring/key_files.h"
#include "crypto/hex_text.h"
#include "format/package_reader.h"
#include "format/part_stream.h"
#include "format/signature.h"
#include "tools/json_text.h"
#include "tools/part_list.h"
#include "tools/vmpkg.h"

namespace {

// One signed package of the file: a plain package, or a member of a bundle.
struct Signed {
  std::string name;
  Version version = 0;
  int level = -1;  // -1: no signature part
  int required = 0;
  unsigned char key_id[SIGNATURE_KEY_ID_SIZE] = {};
};

std::string refusal(const Signed& package, const unsigned char* our_id, const std::string& dir) {
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
                     std::vector<Signed>& found) {
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

int vmpkg_verify(const std::vector<std::string>& args, const VmpkgContext& context) {
  const std::vector<OptionDefinition> options = {
      {"keys", "DIR", false, "key set the installer is built with (default: the built-in one)"},
      {"json", nullptr, false, "print one JSON object instead of text"}};
  CommandLine line;
  std::string error;
  if (!line.parse(args, options, error)) return context.fail(VMPKG_BAD_USAGE, error);
  if (line.help) {
    context.out << "usage: vmpkg verify [--keys DIR] [--json] FILE\n\n"
                   "Tells whether an installer built with the key set would take the file's\n"
                   "signatures: each package (or bundle member) must verify at the level its\n"
                   "name and version require. If not, says why: the file is cut short or\n"
                   "damaged (with the offset), it was changed after it was signed, it was signed\n"
                   "with another key set, or its level is too low. Exit status: 0 taken, 1 not\n"
                   "taken or unreadable, 2 a wrong command line.\n\nOptions:\n"
                << describe_options(options);
    return VMPKG_OK;
  }
  if (line.positional.size() != 1) return context.fail(VMPKG_BAD_USAGE, "expected one file");
  SignatureKeys keys;
  const std::string dir = line.has("keys") ? line.value("keys") : context.default_keys;
  if (!read_public_keys(dir, keys, error)) return context.fail(VMPKG_NOT_OK, error);
  const std::string& path = line.positional[0];
  std::string reason;
  ContainerInfo container;
  if (!list_parts(
          path, container, [](const RawPart&) {}, error, reason)) {
    return context.fail(VMPKG_NOT_OK, error);
  }
  std::vector<Signed> found;
  if (reason.empty() && !read_signatures(path, keys, found)) {
    reason = "a header group or list is damaged";
  }
  if (reason.empty() && found.empty()) reason = "no package in it";
  unsigned char our_id[SIGNATURE_KEY_ID_SIZE];
  signature_key_id(keys, our_id);
  for (const Signed& package : found) {
    if (reason.empty() && package.level < package.required) {
      reason = refusal(package, our_id, dir);
    }
  }
  if (line.has("json")) {
    JsonWriter json(context.out);
    json.begin_object().key("file").value(path).key("taken").value(reason.empty()).key("reason");
    if (reason.empty()) {
      json.null();
    } else {
      json.value(reason);
    }
    json.key("packages").begin_array();
    for (const Signed& package : found) {
      json.begin_object()
          .key("name")
          .value(package.name)
          .key("version")
          .value(version_text(package.version))
          .key("level")
          .value(uint64_t(std::max(package.level, 0)))
          .key("required")
          .value(uint64_t(package.required))
          .key("key_id")
          .value(to_hex(package.key_id, SIGNATURE_KEY_ID_SIZE))
          .end_object();
    }
    json.end_array().end_object().finish();
    return reason.empty() ? VMPKG_OK : VMPKG_NOT_OK;
  }
  if (!reason.empty()) return context.fail(VMPKG_NOT_OK, path + ": refused: " + reason);
  context.out << path << ": taken\n";
  for (const Signed& package : found) {
    context.out << "  " << package.name << " " << version_text(package.version) << ": level "
                << package.level << " (needs " << package.required << ")\n";
  }
  return VMPKG_OK;
}
