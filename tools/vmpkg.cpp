#include "tools/vmpkg.h"

#include "authoring/key_files.h"
#include "authoring/signature_signing.h"

namespace {

const char* const USAGE =
    "usage: vmpkg COMMAND [options]\n"
    "\n"
    "Commands:\n"
    "  keygen DIR     make a new key set in DIR\n"
    "  build          build one signed package from a directory tree\n"
    "  bundle         build a bundle from member packages\n"
    "  inspect FILE   show the parts, headers, files and signature levels of a package\n"
    "  audit [NAME]   compare installed files and kept images with what was installed\n"
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
  VmpkgContext context{out, err, default_keys, args[0]};
  const std::vector<std::string> rest(args.begin() + 1, args.end());
  if (args[0] == "keygen") return vmpkg_keygen(rest, context);
  if (args[0] == "build") return vmpkg_build(rest, context);
  if (args[0] == "bundle") return vmpkg_bundle(rest, context);
  if (args[0] == "inspect") return vmpkg_inspect(rest, context);
  if (args[0] == "audit") return vmpkg_audit(rest, context);
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
