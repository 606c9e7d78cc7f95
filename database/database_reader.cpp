#include "database/database_reader.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <istream>
#include <memory>
#include <unordered_map>
#include <unordered_set>

#include "database/file_input.h"
#include "format/package_reader.h"
#include "format/part_stream.h"
#include "package/repository.h"

namespace {

// A symbolic link is not a package: markers written through it would land elsewhere.
bool is_real_directory(const std::string& path) {
  struct stat info;
  return ::lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// The database root, listed once for the three passes over it.
struct RootListing {
  std::vector<std::string> packages;  // directories not starting with ".", in listing order
  std::unordered_map<std::string, bool> is_directory;  // every entry

  // False when the root cannot be listed. Plain files and links are not packages.
  bool list() {
    DIR* dir = ::opendir(DATABASE_ROOT);
    if (!dir) return false;
    while (const dirent* entry = ::readdir(dir)) {
      const std::string name = entry->d_name;
      if (name.empty() || name == "." || name == "..") continue;
      // Most file systems give the type with the name; the others need a look.
      const bool directory = entry->d_type == DT_UNKNOWN ? is_real_directory(DATABASE_ROOT + name)
                                                         : entry->d_type == DT_DIR;
      is_directory.emplace(name, directory);
      if (directory && name[0] != '.') packages.push_back(name);
    }
    ::closedir(dir);
    return true;
  }

  // A record named by an image header keeps its markers under its own name: that must not
  // be a link or a file, through which they would be written somewhere else.
  bool may_hold_entry(const std::string& name) const {
    const auto found = is_directory.find(name);
    return found == is_directory.end() || found->second;
  }
};

// The names in a directory that most runs find empty or missing, listed once so that its
// files are not probed one failed open per package.
class NameSet {
 public:
  // A directory that is missing holds nothing; one that cannot be read may hold anything.
  explicit NameSet(const char* dir) {
    DIR* listing = ::opendir(dir);
    if (!listing) {
      listed_ = errno == ENOENT || errno == ENOTDIR;
      return;
    }
    listed_ = true;
    while (const dirent* entry = ::readdir(listing)) names_.insert(entry->d_name);
    ::closedir(listing);
  }
  bool may_hold(const std::string& name) const { return !listed_ || names_.count(name) != 0; }

 private:
  bool listed_ = false;
  std::unordered_set<std::string> names_;
};

// Reads the header group of the image at `image_path` into records appended to
// `packages`: a bundle's members first, then the bundle. A record whose group broke off
// after its name and version is kept with what was read. A header that cannot be read at
// all, or names no safe path, leaves a record under the directory's own name and version 0,
// so that its text form is read later; such a member ends the member list. A record whose
// own database directory is a link or a file, and an image that cannot be opened, give no
// record.
void load_image(const std::string& entry_name, const std::string& image_path,
                const RootListing& root, FileInput& files,
                std::vector<std::unique_ptr<Package>>& packages) {
  std::istream* file = files.open(image_path);
  if (!file) return;
  PartStream stream(*file, false, nullptr);
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
    const Dependency reference{record->name, record->version, record->version, 0};
    // Past the member limit the list simply ends; the members read so far stay.
    (void)walk_bundle_members(stream, [&stream, &packages, &reference, &root] {
      auto member = std::make_unique<Package>();
      const HeaderRead read = read_header_group(*member, stream);
      if (read == HeaderRead::broken) return false;
      member->bundle = reference;
      if (root.may_hold_entry(member->name)) packages.push_back(std::move(member));
      return true;
    });
  }
  if (root.may_hold_entry(record->name)) packages.push_back(std::move(record));
}

bool read_first_token(std::istream* in, std::string& token) {
  return in != nullptr && static_cast<bool>(*in >> token);
}

// The entries of a list file; a file that cannot be opened is an empty list.
bool read_list(std::istream* in, std::vector<Dependency>& list, bool with_weight) {
  if (in == nullptr) return true;
  Dependency entry;
  while (*in >> entry.name) {
    if (!(*in >> entry.min >> entry.max)) return false;
    entry.weight = 0;
    if (with_weight && !(*in >> entry.weight)) return false;
    list.push_back(entry);
  }
  return true;
}

// Completes records from their database directories, every file through one buffer.
class RecordReader {
 public:
  // `schedules` lists "/ram/pdb/", so that only the keys it holds are opened; with null,
  // every key is tried.
  RecordReader(RecordDetail detail, const NameSet* schedules)
      : detail_(detail), schedules_(schedules) {}

  void read(Package& package) {
    const std::string dir = database_dir(package);
    if (package.version == 0) read_text_form(package, dir);
    read_markers(package, dir);
    if (is_placeholder(package) || detail_ == RecordDetail::table) return;
    read_schedule(package);
  }

 private:
  void read_text_form(Package& package, const std::string& dir) {
    std::istream* version = files_.open(dir + "version");
    if (!version || !(*version >> package.version >> package.build_time)) {
      package.action = ACTION_UNINSTALL;
    }
    const bool full = detail_ == RecordDetail::full;
    if (full && !read_list(files_.open(dir + "deps"), package.depends, false)) {
      package.action = ACTION_UNINSTALL;
    }
    if (full && !read_list(files_.open(dir + "provides"), package.provides, true)) {
      package.action = ACTION_UNINSTALL;
    }
    if (full && !read_list(files_.open(dir + "conflicts"), package.conflicts, false)) {
      package.action = ACTION_UNINSTALL;
    }
    std::string bundle_name;
    if (read_first_token(files_.open(dir + "bundle"), bundle_name)) {
      package.bundle = Dependency{bundle_name, 0, 0, 0};
      package.action = ACTION_UNINSTALL;
    }
    if (full) read_file_list(package, dir + "files");
  }

  void read_file_list(Package& package, const std::string& path) {
    struct stat info;
    package.is_bundle = ::stat(path.c_str(), &info) != 0;
    if (package.is_bundle) return;
    if (std::istream* files = files_.open(path)) read_file_list_lines(*files, package.files);
  }

  void read_markers(Package& package, const std::string& dir) {
    package.user_forced = false;
    if (std::istream* disabled = files_.open(dir + "disabled")) {
      package.disabled = true;
      std::string first_line;
      std::getline(*disabled, first_line);
      package.user_forced = first_line != "auto";
      return;
    }
    package.disabled = false;
    if (detail_ == RecordDetail::full && files_.open(dir + "enabled")) package.user_forced = true;
  }

  void read_schedule(Package& package) {
    const std::string key = schedule_key(package.name);
    // An empty key reads "/ram/pdb//schedule", a file of "/ram/pdb/" itself.
    if (schedules_ && !schedules_->may_hold(key.empty() ? "schedule" : key)) return;
    std::string word;
    if (!read_first_token(files_.open(SCHEDULE_ROOT + key + "/schedule"), word)) return;
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

  RecordDetail detail_;
  const NameSet* schedules_;
  FileInput files_;  // every file of a run through one buffer
};

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

bool open_repository(Repository& repository, const std::string& architecture, RecordDetail detail) {
  repository.architecture = architecture;
  std::vector<std::unique_ptr<Package>> packages;

  RootListing root;
  if (!root.list()) return false;
  FileInput files;
  for (const std::string& name : root.packages) {
    load_image(name, DATABASE_ROOT + name + "/image", root, files, packages);
  }
  const NameSet second_images(SECOND_IMAGE_DIR);
  for (const std::string& name : root.packages) {
    if (second_images.may_hold(name)) {
      load_image(name, SECOND_IMAGE_DIR + name, root, files, packages);
    }
  }
  const NameSet schedules(SCHEDULE_ROOT);
  RecordReader reader(detail, &schedules);
  std::unordered_set<std::string> carried;
  for (const auto& package : packages) {
    reader.read(*package);
    carried.insert(package->name);
  }
  for (const std::string& name : root.packages) {
    if (!carried.insert(name).second) continue;
    auto package = std::make_unique<Package>(name);
    reader.read(*package);
    packages.push_back(std::move(package));
  }
  for (auto& package : packages) repository.add(std::move(package));
  return true;
}

void read_database_record(Package& package) {
  RecordReader(RecordDetail::full, nullptr).read(package);
}

void read_file_list_lines(std::istream& in, PathSet& files) {
  std::string line;
  while (std::getline(in, line)) {
    // No file has a longer path: a damaged list must not make every later lookup long.
    if (line.empty() || line.size() >= PATH_MAX - 1) continue;
    if (line[0] != '/') line.insert(0, "/");
    files.insert(line);
  }
}

bool read_list_file(const std::string& path, std::vector<Dependency>& list, bool with_weight) {
  FileInput files;
  return read_list(files.open(path), list, with_weight);
}
