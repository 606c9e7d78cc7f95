#include "database/database_reader.h"

#include <dirent.h>
#include <sys/stat.h>

#include <fstream>
#include <functional>
#include <memory>

#include "format/package_reader.h"
#include "format/part_stream.h"
#include "package/repository.h"

namespace {

// A symbolic link is not a package: markers written through it would land elsewhere.
bool is_directory(const std::string& path) {
  struct stat info;
  return ::lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// Calls `visit` with the name of every package directory of the database root; false
// when the root cannot be listed. Dot entries, plain files and links are not packages.
bool for_each_entry(const std::function<void(const std::string&)>& visit) {
  DIR* dir = ::opendir(DATABASE_ROOT);
  if (!dir) return false;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name.empty() || name[0] == '.') continue;
    if (!is_directory(DATABASE_ROOT + name)) continue;
    visit(name);
  }
  ::closedir(dir);
  return true;
}

// A record named by an image header keeps its markers under its own name: that must not
// be a link or a file, through which they would be written somewhere else.
bool may_hold_entry(const std::string& name) {
  struct stat info;
  return ::lstat((DATABASE_ROOT + name).c_str(), &info) != 0 || S_ISDIR(info.st_mode);
}

// Passes parts up to the next member header, after a member whose group broke off.
void skip_to_member(PartStream& stream) {
  while (stream.type != -1 && stream.type != PART_PACKAGE_HEADER) stream.next_part();
}

// Reads the header group of the image at `image_path` into records appended to
// `packages`: a bundle's members first, then the bundle. A record whose group broke off
// after its name and version is kept with what was read. A header that cannot be read at
// all, or names no safe path, leaves a record under the directory's own name and version 0,
// so that its text form is read later; such a member ends the member list. A record whose
// own database directory is a link or a file, and an image that cannot be opened, give no
// record.
void load_image(const std::string& entry_name, const std::string& image_path,
                std::vector<std::unique_ptr<Package>>& packages) {
  std::ifstream file(image_path, std::ios::binary);
  if (!file.is_open()) return;
  PartStream stream(file, false, nullptr);
  stream.accepted_types = {PART_BUNDLE_HEADER, PART_PACKAGE_HEADER, PART_TEXT24,
                           PART_NOTE,          PART_DEPENDS,        PART_PROVIDES,
                           PART_CONFLICTS,     PART_ARCHIVE,        PART_SIGNATURE};
  stream.next_part();

  auto record = std::make_unique<Package>(entry_name);
  const bool bundle = stream.type == PART_BUNDLE_HEADER;
  const HeaderRead header = read_header_group(*record, stream);
  if (header == HeaderRead::broken) {
    packages.push_back(std::make_unique<Package>(entry_name));
    return;
  }
  if (bundle) {
    if (header != HeaderRead::complete) skip_to_member(stream);
    const Dependency reference{record->name, record->version, record->version, 0};
    // Past the member limit the list simply ends; the members read so far stay.
    (void)walk_bundle_members(stream, [&stream, &packages, &reference] {
      auto member = std::make_unique<Package>();
      const HeaderRead read = read_header_group(*member, stream);
      if (read == HeaderRead::broken) return false;
      member->bundle = reference;
      if (may_hold_entry(member->name)) packages.push_back(std::move(member));
      if (read != HeaderRead::complete) skip_to_member(stream);
      return true;
    });
  }
  if (may_hold_entry(record->name)) packages.push_back(std::move(record));
}

bool carries_name(const std::vector<std::unique_ptr<Package>>& packages, const std::string& name) {
  for (const auto& package : packages) {
    if (package->name == name) return true;
  }
  return false;
}

bool read_first_token(const std::string& path, std::string& token) {
  std::ifstream in(path);
  return static_cast<bool>(in >> token);
}

void read_text_form(Package& package, const std::string& dir) {
  std::ifstream version_file(dir + "version");
  if (!(version_file >> package.version >> package.build_time)) package.action = ACTION_UNINSTALL;
  if (!read_list_file(dir + "deps", package.depends, false)) package.action = ACTION_UNINSTALL;
  if (!read_list_file(dir + "provides", package.provides, true)) package.action = ACTION_UNINSTALL;
  if (!read_list_file(dir + "conflicts", package.conflicts, false)) {
    package.action = ACTION_UNINSTALL;
  }
  std::string bundle_name;
  if (read_first_token(dir + "bundle", bundle_name)) {
    package.bundle = Dependency{bundle_name, 0, 0, 0};
    package.action = ACTION_UNINSTALL;
  }
  struct stat info;
  const std::string files_path = dir + "files";
  package.is_bundle = ::stat(files_path.c_str(), &info) != 0;
  if (package.is_bundle) return;
  std::ifstream files(files_path);
  std::string line;
  while (std::getline(files, line)) {
    if (line.empty()) continue;
    if (line[0] != '/') line.insert(0, "/");
    package.files.insert(line);
  }
}

void read_markers(Package& package, const std::string& dir) {
  package.user_forced = false;
  std::ifstream disabled(dir + "disabled");
  if (disabled.is_open()) {
    package.disabled = true;
    std::string first_line;
    std::getline(disabled, first_line);
    package.user_forced = first_line != "auto";
    return;
  }
  package.disabled = false;
  if (std::ifstream(dir + "enabled").is_open()) package.user_forced = true;
}

void read_schedule(Package& package) {
  std::string word;
  if (!read_first_token(SCHEDULE_ROOT + schedule_key(package.name) + "/schedule", word)) return;
  if (word == "uninstall") {
    package.action = ACTION_UNINSTALL;
  } else if (word == "enable") {
    package.action = ACTION_ENABLE;
    package.user_forced = true;
  } else if (word == "disable") {
    package.action = ACTION_DISABLE;
    package.user_forced = true;
  }
}

}  // namespace

std::string database_dir(const PackageInfo& package) {
  return std::string(DATABASE_ROOT) + package.name + "/";
}

std::string schedule_key(const std::string& name) {
  std::string key;
  for (const char c : name) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-') {
      key += c;
    }
  }
  return key;
}

void open_repository(Repository& repository, bool quiet, const std::string& architecture) {
  repository.quiet = quiet;
  repository.architecture = architecture;
  auto& packages = repository.packages;

  const bool listed = for_each_entry([&packages](const std::string& name) {
    load_image(name, DATABASE_ROOT + name + "/image", packages);
  });
  if (!listed) {
    repository.warning("could not open repo");
    return;
  }
  for_each_entry([&packages](const std::string& name) {
    load_image(name, SECOND_IMAGE_DIR + name, packages);
  });
  std::vector<std::string> names;
  if (!for_each_entry([&names](const std::string& name) { names.push_back(name); })) return;
  for (const auto& package : packages) read_database_record(*package);
  for (const std::string& name : names) {
    if (carries_name(packages, name)) continue;
    auto package = std::make_unique<Package>(name);
    read_database_record(*package);
    packages.push_back(std::move(package));
  }
}

void read_database_record(Package& package) {
  const std::string dir = database_dir(package);
  if (package.version == 0) read_text_form(package, dir);
  read_markers(package, dir);
  if (is_placeholder(package)) return;
  read_schedule(package);
}

bool read_list_file(const std::string& path, std::vector<Dependency>& list, bool with_weight) {
  std::ifstream in(path);
  Dependency entry;
  while (in >> entry.name) {
    if (!(in >> entry.min >> entry.max)) return false;
    entry.weight = 0;
    if (with_weight && !(in >> entry.weight)) return false;
    list.push_back(entry);
  }
  return true;
}
