// vmpkg list, files and owner: the installed packages of a router root as the installer's
// own database reader sees them, as text or as one JSON object.
#include <algorithm>
#include <cstdlib>
#include <ctime>

#include "database/database_reader.h"
#include "package/repository.h"
#include "tools/field_text.h"
#include "tools/image_files.h"
#include "tools/json_text.h"
#include "tools/vmpkg.h"
#include "transaction/root_change.h"

namespace {

const std::vector<OptionDefinition> QUERY_OPTIONS = {
    {"root", "DIR", false, "router root to read (default: /); it is only read"},
    {"json", nullptr, false, "print one JSON object instead of text"},
};

std::string utc_time(uint32_t seconds) {
  const std::time_t time = seconds;
  std::tm parts{};
  char text[32] = "?";
  if (gmtime_r(&time, &parts) != nullptr)
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts);
  return text;
}

// The database keeps the package file whole ("image": its own, or its bundle's) or its
// fields as text files.
const char* form(const Package& package) {
  return kept_image_of(package).empty() ? "text" : "image";
}

// The files the package owns: its record's list, or for a record read from a kept image,
// which lists none, what the image's archive put on the flash.
std::vector<std::string> files_of(const Package& package) {
  std::vector<std::string> paths;
  for (const std::string& path : package.files) paths.push_back(path);
  const std::string image = paths.empty() ? kept_image_of(package) : std::string();
  if (!image.empty()) {
    (void)image_files(image, package, paths);
    // A later entry of the same name replaced the earlier one: one path each, in order.
    std::sort(paths.begin(), paths.end());
    paths.erase(std::unique(paths.begin(), paths.end()), paths.end());
  }
  return paths;
}

// Reads the records of the root's database; answers VMPKG_OK or a failure already reported.
int load(const CommandLine& line, const VmpkgContext& context, Repository& repository) {
  const std::string root = line.has("root") ? line.value("root") : "/";
  std::string reason;
  if (root != "/" && !enter_root_to_read(root, reason)) {
    return context.fail(VMPKG_NOT_OK, "cannot enter " + reason);
  }
  const char* arch = std::getenv("arch");
  if (!open_repository(repository, arch ? arch : "i386")) {
    return context.fail(VMPKG_NOT_OK, root + ": no package database at " + DATABASE_ROOT);
  }
  return VMPKG_OK;
}

int parse(const std::vector<std::string>& args, const VmpkgContext& context, CommandLine& line,
          const char* usage, const char* text) {
  std::string error;
  if (!line.parse(args, QUERY_OPTIONS, error)) return context.fail(VMPKG_BAD_USAGE, error);
  if (line.help) {
    context.out << usage << "\n\n" << text << "\nOptions:\n" << describe_options(QUERY_OPTIONS);
    return -1;
  }
  if (line.has("root") && line.value("root").empty()) {
    return context.fail(VMPKG_BAD_USAGE, "--root needs a directory");
  }
  return VMPKG_OK;
}

}  // namespace

int vmpkg_list(const std::vector<std::string>& args, const VmpkgContext& context) {
  CommandLine line;
  int status = parse(args, context, line, "usage: vmpkg list [--root DIR] [--json]",
                     "Lists the installed packages: name, version, build time (UTC), enabled or\n"
                     "disabled, the action scheduled for the next run (or -), whether the\n"
                     "database keeps the package file (image) or its fields (text), the bundle\n"
                     "it came with (or -), and its note.\n");
  if (status != VMPKG_OK) return status < 0 ? VMPKG_OK : status;
  if (!line.positional.empty()) return context.fail(VMPKG_BAD_USAGE, "takes no arguments");
  Repository repository;
  if ((status = load(line, context, repository)) != VMPKG_OK) return status;
  if (line.has("json")) {
    JsonWriter json(context.out);
    json.begin_object().key("packages").begin_array();
    for (const auto& package : repository.packages()) {
      json.begin_object()
          .key("name")
          .value(package->name)
          .key("version")
          .value(version_text(package->version))
          .key("version_word")
          .value(uint64_t(package->version))
          .key("build_time")
          .value(uint64_t(package->build_time))
          .key("enabled")
          .value(!package->disabled)
          .key("scheduled");
      if (package->action == ACTION_NONE) {
        json.null();
      } else {
        json.value(action_name(package->action));
      }
      json.key("form").value(form(*package)).key("bundle");
      if (package->bundle.name.empty()) {
        json.null();
      } else {
        json.value(package->bundle.name);
      }
      json.key("note").value(package->note).end_object();
    }
    json.end_array().end_object().finish();
    return VMPKG_OK;
  }
  for (const auto& package : repository.packages()) {
    const char* action = action_name(package->action);
    context.out << printable(package->name) << " " << version_text(package->version) << " "
                << utc_time(package->build_time) << " "
                << (package->disabled ? "disabled" : "enabled") << " " << (*action ? action : "-")
                << " " << form(*package) << " "
                << (package->bundle.name.empty() ? "-" : package->bundle.name);
    if (!package->note.empty()) context.out << " " << printable(package->note);
    context.out << "\n";
  }
  return VMPKG_OK;
}

int vmpkg_files(const std::vector<std::string>& args, const VmpkgContext& context) {
  CommandLine line;
  int status = parse(args, context, line, "usage: vmpkg files [--root DIR] [--json] NAME",
                     "Lists the files the installed package NAME owns, one path per line, as its\n"
                     "database records them (below /flash; a disabled package's files stand in\n"
                     "its own folder there). For a package whose database keeps its image, they\n"
                     "are the files its image's archive put in place.\n");
  if (status != VMPKG_OK) return status < 0 ? VMPKG_OK : status;
  if (line.positional.size() != 1)
    return context.fail(VMPKG_BAD_USAGE, "expected one package name");
  Repository repository;
  if ((status = load(line, context, repository)) != VMPKG_OK) return status;
  const std::string& name = line.positional[0];
  const Package* package = repository.find(name);
  if (package == nullptr) return context.fail(VMPKG_NOT_OK, name + ": not installed");
  if (line.has("json")) {
    JsonWriter json(context.out);
    json.begin_object().key("package").value(name).key("files").begin_array();
    for (const std::string& path : files_of(*package)) json.value(path);
    json.end_array().end_object().finish();
    return VMPKG_OK;
  }
  for (const std::string& path : files_of(*package)) context.out << path << "\n";
  return VMPKG_OK;
}

int vmpkg_owner(const std::vector<std::string>& args, const VmpkgContext& context) {
  CommandLine line;
  int status = parse(args, context, line, "usage: vmpkg owner [--root DIR] [--json] PATH",
                     "Names the installed packages whose file lists hold PATH, as \"NAME: PATH\".\n"
                     "PATH is given as the file list records it, or with /flash before it.\n"
                     "Exit status 1 when no package owns it.\n");
  if (status != VMPKG_OK) return status < 0 ? VMPKG_OK : status;
  if (line.positional.size() != 1) return context.fail(VMPKG_BAD_USAGE, "expected one path");
  Repository repository;
  if ((status = load(line, context, repository)) != VMPKG_OK) return status;
  std::string path = line.positional[0];
  const std::string flash = std::string(FLASH_DIR) + "/";
  if (path.compare(0, flash.size(), flash) == 0) path.erase(0, flash.size() - 1);
  std::vector<std::string> owners;
  for (const auto& package : repository.packages()) {
    const std::vector<std::string> files = files_of(*package);
    if (std::find(files.begin(), files.end(), path) != files.end()) {
      owners.push_back(package->name);
    }
  }
  if (line.has("json")) {
    JsonWriter json(context.out);
    json.begin_object().key("path").value(path).key("owners").begin_array();
    for (const std::string& owner : owners) json.value(owner);
    json.end_array().end_object().finish();
  } else {
    for (const std::string& owner : owners) context.out << owner << ": " << path << "\n";
  }
  if (owners.empty() && !line.has("json")) {
    context.err << "vmpkg owner: no package owns " << path << "\n";
  }
  return owners.empty() ? VMPKG_NOT_OK : VMPKG_OK;
}
