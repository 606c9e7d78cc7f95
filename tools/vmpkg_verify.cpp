// vmpkg verify: would an installer built with a key set take a package file's signatures,
// and if not, why.
#include <algorithm>

#include "authoring/key_files.h"
#include "crypto/hex_text.h"
#include "tools/json_text.h"
#include "tools/signature_check.h"
#include "tools/vmpkg.h"

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
  const SignatureCheck check = check_signatures(path, keys, dir);
  const std::string& reason = check.reason;
  const std::vector<SignedPackage>& found = check.packages;
  if (line.has("json")) {
    JsonWriter json(context.out);
    json.begin_object().key("file").value(path).key("taken").value(reason.empty()).key("reason");
    if (reason.empty()) {
      json.null();
    } else {
      json.value(reason);
    }
    json.key("packages").begin_array();
    for (const SignedPackage& package : found) {
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
  if (!check.unreadable.empty()) return context.fail(VMPKG_NOT_OK, check.unreadable);
  if (!reason.empty()) return context.fail(VMPKG_NOT_OK, path + ": refused: " + reason);
  context.out << path << ": taken\n";
  for (const SignedPackage& package : found) {
    context.out << "  " << package.name << " " << version_text(package.version) << ": level "
                << package.level << " (needs " << package.required << ")\n";
  }
  return VMPKG_OK;
}
