// vmpkg audit: the installed files of a router root against the package images its
// database keeps (tools/audit.h), one line per finding and a summary.
#include "authoring/key_files.h"
#include "tools/audit.h"
#include "tools/json_text.h"
#include "tools/vmpkg.h"

namespace {

const std::vector<OptionDefinition> AUDIT_OPTIONS = {
    {"root", "DIR", false, "router root to audit (default: /); it is only read"},
    {"keys", "DIR", false, "key set to check signatures against (default: the built-in one)"},
    {"json", nullptr, false, "print one JSON object instead of text"},
};

const char* const AUDIT_HELP =
    "Checks every installed package whose database entry keeps its image (or the named\n"
    "ones; a bundle's name stands for its members): the image's signature at the level\n"
    "its name and version require, and each file it installed (in the enabled or the\n"
    "disabled place, for this processor) against the archive's bytes and mode. Nothing\n"
    "is extracted or written. One line per finding:\n"
    "  missing PATH     an installed file is gone\n"
    "  changed PATH     its bytes differ, or something else stands in its place\n"
    "  mode PATH        its permission bits differ\n"
    "  unsigned NAME    the image verifies below the required level (its files are not\n"
    "                   judged)\n"
    "  no image NAME    the image is gone or broken, or a named package keeps none\n"
    "then a summary. A package kept as /flash/bootimage with header flag 1 had no files\n"
    "installed; only its signature is checked. A package kept in text form has nothing\n"
    "to compare with: only whether the files of its list are there is checked.\n"
    "Exit status: 0 everything matches, 1 a finding or something unreadable (said on\n"
    "standard error), 2 a wrong command line.\n";

std::string counted(size_t count, const char* one, const char* many) {
  return std::to_string(count) + " " + (count == 1 ? one : many);
}

}  // namespace

int vmpkg_audit(const std::vector<std::string>& args, const VmpkgContext& context) {
  CommandLine line;
  std::string error;
  if (!line.parse(args, AUDIT_OPTIONS, error)) return context.fail(VMPKG_BAD_USAGE, error);
  if (line.help) {
    context.out << "usage: vmpkg audit [--root DIR] [--keys DIR] [--json] [NAME...]\n\n"
                << AUDIT_HELP << "\nOptions:\n"
                << describe_options(AUDIT_OPTIONS);
    return VMPKG_OK;
  }
  if (line.has("root") && line.value("root").empty()) {
    return context.fail(VMPKG_BAD_USAGE, "--root needs a directory");
  }
  SignatureKeys keys = built_in_signature_keys();
  if (line.has("keys") && !read_public_keys(line.value("keys"), keys, error)) {
    return context.fail(VMPKG_NOT_OK, error);
  }
  AuditReport report;
  const std::string root = line.has("root") ? line.value("root") : "/";
  const bool listed = audit_root(root, keys, line.positional, report);
  const bool clean = listed && report.findings.empty() && report.problems.empty();
  if (line.has("json")) {
    JsonWriter json(context.out);
    json.begin_object().key("root").value(root).key("listed").value(listed);
    json.key("packages")
        .value(uint64_t(report.packages))
        .key("files")
        .value(uint64_t(report.files));
    json.key("text_form").value(uint64_t(report.text_form)).key("findings").begin_array();
    for (const Finding& finding : report.findings) {
      json.begin_object().key("kind").value(finding_kind_name(finding.kind));
      json.key("subject").value(finding.subject).end_object();
    }
    json.end_array().key("problems").begin_array();
    for (const std::string& problem : report.problems) json.value(problem);
    json.end_array().end_object().finish();
    return clean ? VMPKG_OK : VMPKG_NOT_OK;
  }
  for (const std::string& problem : report.problems) context.fail(VMPKG_NOT_OK, problem);
  if (!listed) return VMPKG_NOT_OK;
  for (const Finding& finding : report.findings) context.out << finding_text(finding) << "\n";
  context.out << counted(report.packages, "package", "packages") << " and "
              << counted(report.files, "file", "files")
              << " checked: " << counted(report.findings.size(), "finding", "findings");
  if (!report.problems.empty()) context.out << ", " << report.problems.size() << " unreadable";
  if (report.text_form != 0) {
    context.out << "; " << counted(report.text_form, "package", "packages")
                << " in text form, whose files were only looked for";
  }
  context.out << "\n";
  return clean ? VMPKG_OK : VMPKG_NOT_OK;
}
