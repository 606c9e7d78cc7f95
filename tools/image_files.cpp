#include "tools/image_files.h"

#include <sys/stat.h>

#include <istream>

#include "database/database_reader.h"
#include "format/archive_reader.h"
#include "format/inflate_stream.h"
#include "format/package_reader.h"
#include "format/part_stream.h"
#include "install/install_package.h"
#include "package/package.h"
#include "package/system_paths.h"
#include "transaction/read_buffer.h"

namespace {

// Reads the archive of the package whose header group the stream has just read.
bool package_files(PartStream& stream, const Package& package, std::vector<std::string>& paths) {
  if (stream.type == PART_IMAGE) stream.next_part();
  const auto present = [](const std::string& path) {
    struct stat info;
    return ::lstat(path.c_str(), &info) == 0;
  };
  return stream.type != PART_ARCHIVE ||
         walk_installed_files(package, stream, present,
                              [&paths](const ArchiveEntryHeader& entry, const std::string& target,
                                       std::istream& data) {
                                paths.push_back(target);
                                return skip_entry_data(data, entry);
                              });
}

}  // namespace

bool walk_installed_files(const Package& package, PartStream& stream, const PathPresent& present,
                          const InstalledFileVisit& visit) {
  InflateStream archive(stream);
  ArchiveEntryHeader entry;
  for (;;) {
    const EntryRead read = read_archive_entry(archive, entry);
    if (read == EntryRead::end || read == EntryRead::header_cut) return true;
    if (read == EntryRead::broken || !is_safe_entry_name(entry.name)) return false;
    if (!is_written_entry(entry)) {
      if (!skip_entry_data(archive, entry)) return false;
      continue;
    }
    if (!is_file_target(entry.name, archive_target(package, entry.name))) return false;
    if (!visit(entry, installed_target(package, entry.name, present), archive)) return false;
  }
}

std::string installed_target(const Package& package, const std::string& name,
                             const PathPresent& present) {
  const std::string target = archive_target(package, name);
  Package other(package.name);
  other.disabled = !package.disabled;
  const std::string alternative = archive_target(other, name);
  if (!present(FLASH_DIR + target) && is_file_target(name, alternative) &&
      present(FLASH_DIR + alternative)) {
    return alternative;
  }
  return target;
}

std::string kept_image_of(const Package& package) {
  PackageInfo owner(package.bundle.name.empty() ? package.name : package.bundle.name);
  struct stat info;
  for (const std::string& path :
       {database_dir(owner) + "image", std::string(SECOND_IMAGE_DIR) + owner.name}) {
    if (::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode)) return path;
  }
  return {};
}

bool image_files(const std::string& image_path, const Package& package,
                 std::vector<std::string>& paths) {
  ReadBuffer file(16384);
  if (!file.open(image_path, OpenAs::regular_file)) return false;
  std::istream source(&file);
  PartStream stream(source, false);
  stream.accepted_types = {
      PART_BUNDLE_HEADER, PART_PACKAGE_HEADER, PART_TEXT24,   PART_ARCHITECTURE, PART_TEXT2,
      PART_NOTE,          PART_DEPENDS,        PART_PROVIDES, PART_CONFLICTS,    PART_IMAGE,
      PART_BUNDLE_LIST,   PART_ARCHIVE,        PART_SIGNATURE};
  stream.next_part();
  const bool bundle = stream.type == PART_BUNDLE_HEADER;
  PackageInfo head;
  if (read_header_group(head, stream) != HeaderRead::complete) return false;
  if (!bundle) return package_files(stream, package, paths);
  bool found = false;
  bool read = false;
  walk_bundle_members(stream, [&] {
    PackageInfo member;
    if (read_header_group(member, stream) != HeaderRead::complete) return false;
    if (member.name != package.name) return true;
    found = true;
    read = package_files(stream, package, paths);
    return false;  // the rest is other members'
  });
  return found && read;
}
