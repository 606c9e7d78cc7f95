#include "database/database_writer.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "database/database_reader.h"
#include "package/console.h"
#include "package/relations.h"
#include "transaction/manifest.h"

namespace {

constexpr uint64_t VERSION_HINT = 32;
constexpr uint64_t LIST_HINT = 1024;
constexpr uint64_t BUNDLE_HINT = 16;
constexpr uint64_t FILES_HINT = 4096;
constexpr uint64_t MARKER_HINT = 8;

// Flushing first keeps errno from the failed write for the message.
bool finish(FileStream& out) {
  out.flush();
  if (out.fail()) return false;
  out.close();
  return !out.fail();
}

bool writes_text_form(const Package& package) {
  return !package.has_image_part && !(package.header_flags & HEADER_NO_TEXT_DB);
}

// A marker whose writing fails leaves the transaction unable to commit: an empty one
// would read back as another state.
bool write_line(Manifest& manifest, const std::string& path, uint64_t size_hint,
                const std::string& line) {
  FileStream out = manifest.create_file(path, size_hint, 0);
  out << line << '\n';
  if (finish(out)) return true;
  manifest.note_failure(errno);
  return false;
}

std::string version_line(const Package& package) {
  return std::to_string(package.version) + " " + std::to_string(package.build_time);
}

bool write_text_form(Console& console, const Package& package, Manifest& manifest) {
  const std::string dir = database_dir(package);
  if (!write_line(manifest, dir + "version", VERSION_HINT, version_line(package))) {
    report_write_failure(console, package, "meta/version");
    return false;
  }
  if (!write_list_file(manifest, dir + "deps", package.depends, false)) {
    report_write_failure(console, package, "meta/deps");
    return false;
  }
  if (!package.provides.empty() &&
      !write_list_file(manifest, dir + "provides", package.provides, true)) {
    report_write_failure(console, package, "meta/provides");
    return false;
  }
  if (!package.conflicts.empty() &&
      !write_list_file(manifest, dir + "conflicts", package.conflicts, false)) {
    report_write_failure(console, package, "meta/conflicts");
    return false;
  }
  if (package.bundle.name.empty()) {
    manifest.remove_path(dir + "bundle");
  } else if (!write_line(manifest, dir + "bundle", BUNDLE_HINT, package.bundle.name)) {
    report_write_failure(console, package, "meta/bundle");
    return false;
  }
  if (!write_files_list(package, manifest)) {
    report_write_failure(console, package, "meta/files");
    return false;
  }
  return true;
}

void write_disabled_marker(const Package& package, Manifest& manifest) {
  const std::string path = database_dir(package) + "disabled";
  if (package.disabled) {
    (void)write_line(manifest, path, MARKER_HINT, package.user_forced ? "user" : "auto");
  } else {
    manifest.remove_path(path);
  }
}

void write_enabled_marker(const Package& package, Manifest& manifest) {
  const std::string path = database_dir(package) + "enabled";
  if (!package.disabled && package.user_forced) {
    (void)write_line(manifest, path, MARKER_HINT, "user");
  } else {
    manifest.remove_path(path);
  }
}

}  // namespace

std::string message_name(const Package& package) {
  if (!package.bundle.name.empty()) return display_requirement(package.bundle);
  return display_name(package);
}

bool write_database_record(Console& console, const Package& package, Manifest& manifest) {
  if (writes_text_form(package) && !write_text_form(console, package, manifest)) return false;
  write_disabled_marker(package, manifest);
  write_enabled_marker(package, manifest);
  return true;
}

bool rewrite_database_record(Console& console, const Package& package, Manifest& manifest) {
  if (!keep_database_dir(console, package, manifest)) return false;
  return write_database_record(console, package, manifest);
}

bool write_list_file(Manifest& manifest, const std::string& path,
                     const std::vector<Dependency>& entries, bool with_weight) {
  FileStream out = manifest.create_file(path, LIST_HINT, 0);
  for (const Dependency& entry : entries) {
    out << entry.name << ' ' << entry.min << ' ' << entry.max;
    if (with_weight) out << ' ' << entry.weight;
    out << '\n';
  }
  return finish(out);
}

bool write_files_list(const Package& package, Manifest& manifest) {
  if (package.is_bundle) return true;
  FileStream out = manifest.create_file(database_dir(package) + "files", FILES_HINT, 0);
  for (const std::string& path : package.files) {
    const size_t start = !path.empty() && path[0] == '/' ? 1 : 0;
    if (path.size() > start) out.write(path.data() + start, path.size() - start) << '\n';
  }
  return finish(out);
}

void mark_disabled(Package& package, Manifest& manifest) {
  manifest.remove_path(database_dir(package) + "enabled");
  package.disabled = true;
  package.action = ACTION_NONE;
  write_disabled_marker(package, manifest);
}

void mark_enabled(Package& package, Manifest& manifest) {
  manifest.remove_path(database_dir(package) + "disabled");
  package.disabled = false;
  package.action = ACTION_NONE;
  write_enabled_marker(package, manifest);
}

void report_write_failure(Console& console, const Package& package, const std::string& label) {
  const int cause = errno;
  const std::string name = message_name(package);
  if (cause == ENOSPC) {
    console.error("installation of %s failed: disk is too small", name.c_str());
  } else if (cause == EIO) {
    console.error("installation of %s failed: disk error", name.c_str());
  } else {
    console.error("installation of %s failed: could not create %s: %s", name.c_str(), label.c_str(),
                  std::strerror(cause));
  }
}

void report_broken(Console& console, const Package& package) {
  console.error("installation of %s failed: broken package", message_name(package).c_str());
}

bool keep_database_dir(Console& console, const Package& package, Manifest& manifest) {
  // Through a link, the entry's files would be written, and later removed, elsewhere.
  struct stat info;
  const std::string dir = database_dir(package);
  if (::lstat(dir.substr(0, dir.size() - 1).c_str(), &info) == 0 && S_ISLNK(info.st_mode)) {
    errno = ENOTDIR;
    report_write_failure(console, package, "meta");
    return false;
  }
  return manifest.keep_directory(dir);
}
