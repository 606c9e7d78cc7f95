#include "tools/vmpkg.h"

#include "authoring/key_files.h"
#include "authoring/signature_signing.h"
#include "package/version_parse.h"
#include "tools/field_text.h"

namespace {

const char* const USAGE =
    "usage: vmpkg COMMAND [options]\n"
    "\n"
    "Commands:\n"
    "  keygen DIR     make a new key set in DIR\n"
    "  build          build one signed package from a directory tree\n"
    "  bundle         build a bundle from member packages\n"
    "  inspect FILE   show the parts, headers, files and signature levels of a package\n"
    "  verify FILE    tell whether the installer would take a package's signatures, or why not\n"
    "  audit [NAME]   compare installed files and kept images with what was installed\n"
    "  list           list the installed packages of a router root\n"
    "  files NAME     list the files an installed package owns\n"
    "  owner PATH     name the installed package that owns a file\n"
    "  version V      convert a version text to its word (as /ram/DOWNGRADE holds it) and back\n"
    "\n"
    "`vmpkg COMMAND --help` describes the options of a command.\n";

}  // namespace

int VmpkgContext::fail(int status, const std::string& message) const {
  err << "vmpkg " << command << ": " << message << "\n";
  if (status == VMPKG_BAD_USAGE) err << "see: vmpkg " << command << " --help\n";
  return status;
}

int run_vmpkg(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
              const std::string& default_keys) {
  if (args.empty()) {
    err << USAGE;
    return VMPKG_BAD_USAGE;
  }
  if (args[0] == "--help" || args[0] == "help") {
    out << USAGE;
    return VMPKG_OK;
  }
  if (args[0] == "--version") {
    out << "vmpkg " << VMPKG_VERSION << "\n";
    return VMPKG_OK;
  }
  VmpkgContext context{out, err, default_keys, args[0]};
  const std::vector<std::string> rest(args.begin() + 1, args.end());
  if (args[0] == "keygen") return vmpkg_keygen(rest, context);
  if (args[0] == "build") return vmpkg_build(rest, context);
  if (args[0] == "bundle") return vmpkg_bundle(rest, context);
  if (args[0] == "inspect") return vmpkg_inspect(rest, context);
  if (args[0] == "verify") return vmpkg_verify(rest, context);
  if (args[0] == "audit") return vmpkg_audit(rest, context);
  if (args[0] == "version") return vmpkg_version(rest, context);
  if (args[0] == "list") return vmpkg_list(rest, context);
  if (args[0] == "files") return vmpkg_files(rest, context);
  if (args[0] == "owner") return vmpkg_owner(rest, context);
  err << "vmpkg: unknown command " << args[0] << "\n" << USAGE;
  return VMPKG_BAD_USAGE;
}

int vmpkg_keygen(const std::vector<std::string>& args, const VmpkgContext& context) {
  CommandLine line;
  std::string error;
  if (!line.parse(args, {}, error)) return context.fail(VMPKG_BAD_USAGE, error);
  if (line.help) {
    context.out << "usage: vmpkg keygen DIR\n\n"
                   "Makes a new key set in DIR (created when missing): eddsa.pub, eddsa.key,\n"
                   "curve.pub, curve.key and hash.constants. Existing key files are never\n"
                   "replaced. Configure the installer with -DINSTALLER_KEYS=DIR to accept\n"
                   "packages signed with it; keep the .key files private.\n";
    return VMPKG_OK;
  }
  if (line.positional.size() != 1) {
    return context.fail(VMPKG_BAD_USAGE, "expected one key directory");
  }
  SigningKeys keys;
  if (!generate_signing_keys(keys)) {
    return context.fail(VMPKG_NOT_OK, "the random generator or libcrypto failed");
  }
  if (!write_signing_keys(line.positional[0], keys, error)) {
    return context.fail(VMPKG_NOT_OK, error);
  }
  context.out << "new key set in " << line.positional[0] << "\n";
  return VMPKG_OK;
}

int vmpkg_version(const std::vector<std::string>& args, const VmpkgContext& context) {
  CommandLine line;
  std::string error;
  if (!line.parse(args, {}, error)) return context.fail(VMPKG_BAD_USAGE, error);
  if (line.help) {
    context.out << "usage: vmpkg version TEXT|WORD\n\n"
                   "Prints the word of a version text in decimal (6.48 gives 103835136), the\n"
                   "form /ram/DOWNGRADE holds, or the text of a word given in decimal or 0x hex.\n"
                   "Words compare as unsigned numbers: major, minor, kind (alpha < beta < rc <\n"
                   "final), revision.\n";
    return VMPKG_OK;
  }
  if (line.positional.size() != 1) return context.fail(VMPKG_BAD_USAGE, "expected one version");
  const std::string& given = line.positional[0];
  Version version = 0;
  if (parse_version_text(given, version)) {
    context.out << version << "\n";
    return VMPKG_OK;
  }
  if (!parse_u32(given, version)) {
    return context.fail(VMPKG_BAD_USAGE, "bad version \"" + given +
                                             "\" (expected a text such as 6.48, 1.2.3, 3.20rc2, "
                                             "4.0beta7, or a word such as 103835136)");
  }
  context.out << version_text(version) << "\n";
  return VMPKG_OK;
}
