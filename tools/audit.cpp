#include "tools/audit.h"

#include <dirent.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <istream>
#include <map>
#include <set>

#include "database/database_reader.h"
#include "format/archive_reader.h"
#include "format/inflate_stream.h"
#include "format/package_reader.h"
#include "format/part_stream.h"
#include "install/install_package.h"
#include "install/remove_package.h"
#include "package/system_paths.h"
#include "tools/image_files.h"
#include "tools/root_reader.h"
#include "transaction/read_buffer.h"

namespace {

constexpr size_t CHUNK = 16384;

// What one installed file showed.
struct FileCheck {
  bool missing = false;
  bool changed = false;
  bool mode = false;
  std::string problem;  // why it could not be read; nothing else is judged then
};

// The checks of one archive by target, in archive order; a later entry for the same target
// replaces the earlier one, as it did when it was installed.
class FileChecks {
 public:
  void put(const std::string& path, FileCheck check) {
    const auto found = index_.find(path);
    if (found != index_.end()) {
      checks_[found->second].second = std::move(check);
      return;
    }
    index_.emplace(path, checks_.size());
    checks_.emplace_back(path, std::move(check));
  }
  const std::vector<std::pair<std::string, FileCheck>>& all() const { return checks_; }

 private:
  std::vector<std::pair<std::string, FileCheck>> checks_;
  std::map<std::string, size_t> index_;
};

bool is_missing_error(int error) { return error == ENOENT || error == ENOTDIR || error == ELOOP; }

class Auditor {
 public:
  Auditor(const std::string& root, const SignatureKeys& keys, const std::vector<std::string>& names,
          AuditReport& report)
      : root_(root), keys_(keys), names_(names.begin(), names.end()), report_(report) {}

  bool run();

 private:
  bool list_database(std::vector<std::string>& entries);
  void audit_image(const std::string& entry, const std::string& image_path);
  void audit_text_form(const std::string& entry);
  void audit_package(const PackageInfo& info, const std::string& bundle, PartStream& stream,
                     bool boot_image);
  bool compare_archive(const Package& package, PartStream& stream, FileChecks& checks);
  FileCheck compare_file(const std::string& path, const ArchiveEntryHeader& entry,
                         std::istream& archive, bool& archive_cut);
  void report_checks(const FileChecks& checks);

  bool wanted(const std::string& name, const std::string& bundle = {}) const {
    return names_.empty() || names_.count(name) != 0 ||
           (!bundle.empty() && names_.count(bundle) != 0);
  }
  bool exists(const std::string& path, bool follow_last) const {
    std::string host;
    return resolve_in_root(root_, path, follow_last, host);
  }
  void find(FindingKind kind, const std::string& subject) {
    report_.findings.push_back({kind, subject});
  }
  void no_image(const std::string& name) {
    if (wanted(name) && reported_.insert(name).second) find(FindingKind::no_image, name);
  }
  void problem(const std::string& path, int error) {
    report_.problems.push_back(path + ": " + std::strerror(error));
  }

  const std::string root_;
  const SignatureKeys& keys_;
  const std::set<std::string> names_;
  AuditReport& report_;
  std::string flash_;  // host path of "/flash"
  bool has_boot_image_ = false;
  struct stat boot_image_ {};       // of "/flash/bootimage"
  std::set<std::string> met_;       // every package and bundle that an image carried
  std::set<std::string> checked_;   // packages checked, so that a second image is not
  std::set<std::string> reported_;  // names given a `no_image` finding
};

bool Auditor::run() {
  std::vector<std::string> entries;
  if (!list_database(entries)) return false;
  if (!resolve_in_root(root_, FLASH_DIR, true, flash_)) flash_.clear();
  std::string host;
  has_boot_image_ =
      resolve_in_root(root_, BOOT_IMAGE, true, host) && ::stat(host.c_str(), &boot_image_) == 0;
  std::vector<std::string> without_image;
  for (const std::string& entry : entries) {
    const std::string image = database_dir(PackageInfo(entry)) + "image";
    if (exists(image, false)) {
      audit_image(entry, image);
    } else if (exists(SECOND_IMAGE_DIR + entry, false)) {
      audit_image(entry, SECOND_IMAGE_DIR + entry);
    } else {
      without_image.push_back(entry);
    }
  }
  for (const std::string& entry : without_image) {
    // A bundle's members keep their records in text form beside the bundle's image, whose
    // archive was their check.
    if (wanted(entry) && met_.count(entry) == 0) audit_text_form(entry);
  }
  for (const std::string& name : names_) {
    if (met_.count(name) == 0) no_image(name);
  }
  return true;
}

// A package kept in text form: nothing tells what its files held, but its file list tells
// which must be there.
void Auditor::audit_text_form(const std::string& entry) {
  std::string host;
  ReadBuffer list(CHUNK);
  std::istream in(&list);
  list.report_errors_to(in);
  const std::string path = database_dir(PackageInfo(entry)) + "files";
  if (!resolve_in_root(root_, path, true, host) || !list.open(host, OpenAs::any_file)) {
    if (!is_missing_error(errno)) problem(path, errno);
    return;  // a bundle's own record, or a package with no file
  }
  met_.insert(entry);
  ++report_.text_form;
  PathSet files;
  read_file_list_lines(in, files);
  if (list.failed()) problem(path, EIO);
  for (const std::string& file : files) {
    ++report_.files;
    if (!exists(FLASH_DIR + file, false)) find(FindingKind::missing, FLASH_DIR + file);
  }
}

// The package directories of the database in name order: as the installer's loader takes
// them, without dot entries, plain files and links.
bool Auditor::list_database(std::vector<std::string>& entries) {
  std::string host;
  DIR* dir = nullptr;
  if (!resolve_in_root(root_, DATABASE_ROOT, true, host) || !(dir = ::opendir(host.c_str()))) {
    problem(DATABASE_ROOT, errno);
    return false;
  }
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    struct stat status;
    if (name.empty() || name[0] == '.') continue;
    if (::lstat((host + "/" + name).c_str(), &status) == 0 && S_ISDIR(status.st_mode)) {
      entries.push_back(name);
    }
  }
  ::closedir(dir);
  std::sort(entries.begin(), entries.end());
  return true;
}

void Auditor::audit_image(const std::string& entry, const std::string& image_path) {
  std::string host;
  ReadBuffer file(16384);
  if (!resolve_in_root(root_, image_path, true, host) || !file.open(host, OpenAs::untouched)) {
    if (is_missing_error(errno)) {
      no_image(entry);  // a link whose image is gone
    } else {
      problem(image_path, errno);
    }
    return;
  }
  if (!S_ISREG(file.status().st_mode)) return no_image(entry);
  const bool boot_image = has_boot_image_ && file.status().st_dev == boot_image_.st_dev &&
                          file.status().st_ino == boot_image_.st_ino;
  std::istream source(&file);
  PartStream stream(source, true);
  // The kept image is the very file installed, which had to be as long as it says; its
  // first 8 bytes are not signed.
  if (uint64_t(file.status().st_size) != stream.total_length) return no_image(entry);
  stream.accepted_types = {
      PART_BUNDLE_HEADER, PART_PACKAGE_HEADER, PART_TEXT24,   PART_ARCHITECTURE, PART_TEXT2,
      PART_NOTE,          PART_DEPENDS,        PART_PROVIDES, PART_CONFLICTS,    PART_IMAGE,
      PART_BUNDLE_LIST,   PART_ARCHIVE,        PART_SIGNATURE};
  stream.next_part();
  PackageInfo head(entry);
  const bool bundle = stream.type == PART_BUNDLE_HEADER;
  if (read_header_group(head, stream) != HeaderRead::complete) return no_image(entry);
  if (!bundle) return audit_package(head, {}, stream, boot_image);

  met_.insert(head.name);
  if (stream.type == PART_IMAGE) stream.next_part();
  if (stream.type == PART_BUNDLE_LIST) stream.next_part();
  const bool walked = walk_bundle_members(stream, [this, &stream, &head] {
    PackageInfo member;
    if (read_header_group(member, stream) != HeaderRead::complete) return false;
    audit_package(member, head.name, stream, false);
    return true;
  });
  if (!walked) no_image(head.name);
}

// Checks one package whose header group has been read: its files against its archive, then
// its signature. Leaves the stream after the signature part.
void Auditor::audit_package(const PackageInfo& info, const std::string& bundle, PartStream& stream,
                            bool boot_image) {
  met_.insert(info.name);
  const bool checked = wanted(info.name, bundle) && checked_.insert(info.name).second;
  if (stream.type == PART_IMAGE) stream.next_part();
  Package package(info.name);
  package.disabled = exists(database_dir(info) + "disabled", true);
  FileChecks checks;
  bool walked = true;
  if (stream.type == PART_ARCHIVE) {
    const bool extracted = !(boot_image && (info.header_flags & HEADER_BOOT_IMAGE));
    if (checked && extracted) walked = compare_archive(package, stream, checks);
    stream.next_part();
  }
  if (!checked) return;
  ++report_.packages;
  int level = 0;
  if (stream.type == PART_SIGNATURE) {
    level = verify_signature_against(stream, keys_);
    stream.next_part();
  }
  // The archive of an image that does not verify tells nothing about what was installed.
  if (level < required_signature_level(info.name, info.version)) {
    return find(FindingKind::unsigned_image, info.name);
  }
  if (!walked) return no_image(info.name);
  report_checks(checks);
}

// Walks the archive the stream stands on as installation does; false where installation
// would have refused the package (a name cut short or unsafe, data cut short).
bool Auditor::compare_archive(const Package& package, PartStream& stream, FileChecks& checks) {
  return walk_installed_files(
      package, stream, [this](const std::string& path) { return exists(path, false); },
      [&](const ArchiveEntryHeader& entry, const std::string& target, std::istream& data) {
        bool archive_cut = false;
        FileCheck check = compare_file(FLASH_DIR + target, entry, data, archive_cut);
        if (!archive_cut) checks.put(FLASH_DIR + target, std::move(check));
        return !archive_cut;
      });
}

// Compares the file at `path` with the entry's data, which is read from `archive` in any
// case; `archive_cut` is set when the data is cut short.
FileCheck Auditor::compare_file(const std::string& path, const ArchiveEntryHeader& entry,
                                std::istream& archive, bool& archive_cut) {
  FileCheck check;
  std::string host;
  ReadBuffer file(16384);
  if (!resolve_in_root(root_, path, false, host)) {
    check.missing = is_missing_error(errno);
    if (!check.missing) check.problem = std::strerror(errno);
  } else if (flash_.empty() || host.compare(0, flash_.size() + 1, flash_ + "/") != 0) {
    check.changed = true;  // a link now carries it out of the flash
  } else if (!file.open(host, OpenAs::untouched)) {
    check.changed = errno == ELOOP;  // a symbolic link stands in its place
    check.missing = errno == ENOENT;
    if (!check.changed && !check.missing) check.problem = std::strerror(errno);
  } else if (!S_ISREG(file.status().st_mode) ||
             uint64_t(file.status().st_size) != entry.data_length) {
    check.changed = true;
  }
  const bool compare = check.problem.empty() && !check.missing && !check.changed;
  if (compare) check.mode = (file.status().st_mode & 07777) != (entry.mode & 07777);
  char expected[CHUNK];
  char found[CHUNK];
  for (uint32_t left = entry.data_length; left > 0;) {
    const uint32_t want = std::min<uint32_t>(left, CHUNK);
    archive.read(expected, want);
    if (uint32_t(archive.gcount()) != want) {
      archive_cut = true;
      return check;
    }
    left -= want;
    if (compare && !check.changed &&
        (file.read_all(found, want) != want || std::memcmp(expected, found, want) != 0)) {
      check.changed = true;
    }
  }
  return check;
}

void Auditor::report_checks(const FileChecks& checks) {
  for (const auto& [path, check] : checks.all()) {
    ++report_.files;
    if (!check.problem.empty()) {
      report_.problems.push_back(path + ": " + check.problem);
      continue;
    }
    if (check.missing) find(FindingKind::missing, path);
    if (check.changed) find(FindingKind::changed, path);
    if (check.mode) find(FindingKind::mode, path);
  }
}

}  // namespace

const char* finding_kind_name(FindingKind kind) {
  switch (kind) {
    case FindingKind::missing:
      return "missing";
    case FindingKind::changed:
      return "changed";
    case FindingKind::mode:
      return "mode";
    case FindingKind::unsigned_image:
      return "unsigned";
    case FindingKind::no_image:
      return "no_image";
  }
  return "";
}

std::string finding_text(const Finding& finding) {
  switch (finding.kind) {
    case FindingKind::missing:
      return "missing " + finding.subject;
    case FindingKind::changed:
      return "changed " + finding.subject;
    case FindingKind::mode:
      return "mode " + finding.subject;
    case FindingKind::unsigned_image:
      return "unsigned " + finding.subject;
    case FindingKind::no_image:
      return "no image " + finding.subject;
  }
  return finding.subject;
}

bool audit_root(const std::string& root, const SignatureKeys& keys,
                const std::vector<std::string>& names, AuditReport& report) {
  return Auditor(root, keys, names, report).run();
}
