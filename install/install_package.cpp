#include "install/install_package.h"

#include <limits.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "database/database_reader.h"
#include "database/database_writer.h"
#include "format/archive_reader.h"
#include "format/inflate_stream.h"
#include "format/part_stream.h"
#include "format/signature.h"
#include "package/board_probe.h"
#include "package/console.h"
#include "package/relations.h"
#include "package/system_paths.h"
#include "transaction/background_flush.h"
#include "transaction/file_ops.h"
#include "transaction/manifest.h"

namespace {

constexpr const char* DISABLED_ROOT = "/x/";
const std::string DATABASE_AREA = "/var/pdb";
constexpr uint32_t IMAGE_STEP = 4096;
constexpr size_t COPY_CHUNK = 65536;

// Copies the entry's data into its staged file; false after the error message.
bool copy_entry(Console& console, Package& package, const std::string& name, std::istream& archive,
                FileStream& out, uint32_t length) {
  char chunk[COPY_CHUNK];
  while (length > 0) {
    const uint32_t want = std::min<uint32_t>(length, sizeof chunk);
    archive.read(chunk, want);
    if (uint32_t(archive.gcount()) != want) {
      report_broken(console, package);
      return false;
    }
    if (!out.write(chunk, want)) {
      out.close();  // errno: the first failure
      report_write_failure(console, package, name);
      return false;
    }
    length -= want;
  }
  out.close();
  if (out.fail()) {
    report_write_failure(console, package, name);
    return false;
  }
  return true;
}

// Passes the image part with the progress bar moving; it is never buffered.
void pass_image(Console& console, const Package& package, PartStream& stream) {
  for (uint32_t left = stream.part_length(); left > 0;) {
    show_installing(console, package, stream);
    const uint32_t step = std::min(left, IMAGE_STEP);
    if (!stream.seekg(step, std::ios::cur)) break;  // cut short: the signature test fails
    left -= step;
  }
  stream.next_part();
}

// The allowed trailer of a package of its own: an architecture part, then an empty list,
// and the container's end where its length says.
bool trailer_is_allowed(PartStream& stream) {
  if (stream.type == PART_ARCHITECTURE) stream.next_part();
  if (stream.type == PART_DEPENDS && stream.part_length() == 0) stream.next_part();
  return stream.read_whole_container();
}

}  // namespace

bool is_safe_entry_name(const std::string& name) {
  if (name.empty()) return false;
  for (const unsigned char c : name) {
    if (c <= ' ' || c == 0x7F) return false;
  }
  bool has_component = false;
  for (size_t start = 0; start <= name.size();) {
    const size_t end = std::min(name.find('/', start), name.size());
    const size_t length = end - start;
    if (length == 2 && name.compare(start, 2, "..") == 0) return false;
    if (length > 0) has_component = true;
    start = end + 1;
  }
  return has_component;
}

bool is_written_entry(const ArchiveEntryHeader& entry) {
  if (!entry.is_regular_file()) return false;
  return entry.processor == 0 || entry.processor == processor_family();
}

bool is_file_target(const std::string& name, const std::string& target) {
  const bool in_database = target == DATABASE_AREA ||
                           target.compare(0, DATABASE_AREA.size() + 1, DATABASE_AREA + "/") == 0;
  const bool names_a_directory = name.empty() || name.back() == '/' || name == "." ||
                                 (name.size() >= 2 && name.compare(name.size() - 2, 2, "/.") == 0);
  return !names_a_directory && !normalized_path(name).empty() && !in_database;
}

std::string normalized_path(const std::string& name) {
  std::string path;
  for (size_t start = 0; start <= name.size();) {
    const size_t end = std::min(name.find('/', start), name.size());
    const size_t length = end - start;
    if (length > 0 && !(length == 1 && name[start] == '.')) {
      path += '/';
      path.append(name, start, length);
    }
    start = end + 1;
  }
  return path;
}

std::string archive_target(const Package& package, const std::string& name) {
  const std::string path = normalized_path(name);
  if (!package.disabled) return path;
  return DISABLED_ROOT + package.name + path;
}

namespace {

std::string resolved(const std::string& path) {
  char* real = ::realpath(path.c_str(), nullptr);
  std::string answer = real ? real : "";
  std::free(real);
  return answer;
}

bool is_within(const std::string& path, const std::string& dir) {
  return path == dir || path.compare(0, dir.size() + 1, dir + "/") == 0;
}

}  // namespace

FlashBounds::Place FlashBounds::place(const std::string& path) {
  std::string parent = parent_dir(path);
  if (!last_parent_.empty() && parent == last_parent_) return last_place_;
  std::string dir = parent;
  struct stat info;
  while (::lstat(dir.c_str(), &info) != 0 && dir != "/" && dir != ".") dir = parent_dir(dir);
  if (flash_.empty()) {
    flash_ = resolved(FLASH_DIR);
    if (flash_.empty()) flash_ = FLASH_DIR;
    database_ = flash_ + DATABASE_AREA;
  }
  const std::string real = resolved(dir);
  last_parent_ = std::move(parent);
  last_place_ = !is_within(real, flash_)     ? Place::outside
                : is_within(real, database_) ? Place::database
                                             : Place::flash;
  return last_place_;
}

namespace {

std::string installing_label(const Package& package) {
  const bool disabled_alone = package.disabled && package.bundle.name.empty();
  return std::string("installing ") + (disabled_alone ? " (disabled) " : "") +
         message_name(package);
}

}  // namespace

void show_installing(Console& console, const Package& package, const PartStream& stream) {
  show_progress(console, installing_label(package), stream);
}

namespace {

// Where a written entry goes, or false after the error message: a name that cannot be a
// file's, one in the database (which belongs to the installer), one too long for the file
// system, one that a link on the flash would carry out of it.
bool written_target(Console& console, Package& package, const std::string& name,
                    FlashBounds& bounds, std::string& target) {
  target = archive_target(package, name);
  if (!is_file_target(name, target)) {
    report_broken(console, package);
    return false;
  }
  for (size_t start = 1; start < target.size();) {
    const size_t end = std::min(target.find('/', start), target.size());
    if (end - start > NAME_MAX) {
      errno = ENAMETOOLONG;
      report_write_failure(console, package, name);
      return false;
    }
    start = end + 1;
  }
  if (!bounds.holds_file(FLASH_DIR + target)) {
    errno = EPERM;
    report_write_failure(console, package, name);
    return false;
  }
  return true;
}

}  // namespace

void StagedModes::add(const std::string& path, mode_t mode) {
  mode &= PERMISSION_BITS;
  // Kept even when it is the staged mode: a later entry of the same name has the last word.
  const char value[] = {char(mode & 0xFF), char(mode >> 8)};
  modes_.put(path, std::string_view(value, sizeof value));
}

bool StagedModes::apply(Console& console, Package& package, const Manifest& manifest) {
  for (const PathTable::Entry entry : modes_) {
    const std::string path(entry.path);
    const std::optional<ManifestOp> op = manifest.find(path);
    // Replaced since by a later entry of the same name, which brought its own mode.
    if (!op || op->kind != ManifestKind::staged) continue;
    const auto byte = [&entry](size_t i) { return mode_t(uint8_t(entry.value[i])); };
    const mode_t mode = byte(0) | byte(1) << 8;
    if (mode != PERMISSION_BITS_STAGED && !manifest.set_staged_mode(op->source, mode)) {
      report_write_failure(console, package, path.substr(std::strlen(FLASH_DIR) + 1));
      return false;
    }
  }
  modes_.clear();
  return true;
}

bool extract_files(Console& console, Package& package, Manifest& manifest, PartStream& stream,
                   StagedModes& modes) {
  InflateStream archive(stream);
  ArchiveEntryHeader entry;
  FlashBounds bounds;
  const std::string label = installing_label(package);  // the same for every file
  for (;;) {
    const EntryRead read = read_archive_entry(archive, entry);
    if (read == EntryRead::end || read == EntryRead::header_cut) return true;
    if (read == EntryRead::broken || !is_safe_entry_name(entry.name)) {
      report_broken(console, package);
      return false;
    }
    if (!is_written_entry(entry)) {
      // Data cut short here is as broken as in a file that is written.
      if (!skip_entry_data(archive, entry)) {
        report_broken(console, package);
        return false;
      }
      continue;
    }
    std::string target;
    if (!written_target(console, package, entry.name, bounds, target)) return false;
    // Staged unreadable to others and with no execute or set-id bit: until the signature
    // is verified, these are an unknown sender's bytes.
    FileStream out = manifest.create_file(FLASH_DIR + target, entry.data_length, 0);
    if (!out.is_open()) {
      report_write_failure(console, package, entry.name);
      return false;
    }
    package.files.insert(target);
    modes.add(FLASH_DIR + target, entry.mode);
    if (!copy_entry(console, package, entry.name, archive, out, entry.data_length)) return false;
    show_progress(console, label, stream);
  }
}

bool install_package(Console& console, Package& package, Manifest& manifest, PartStream& stream) {
  show_installing(console, package, stream);
  const bool recorded = !stream.is_unrecorded();
  if (recorded && !keep_database_dir(console, package, manifest)) return false;
  if (stream.type == PART_IMAGE) pass_image(console, package, stream);
  StagedModes modes;
  if (stream.type == PART_ARCHIVE) {
    const bool keeps_image_only =
        std::getenv("bootimage") != nullptr && (package.header_flags & HEADER_BOOT_IMAGE);
    if (!keeps_image_only && !extract_files(console, package, manifest, stream, modes))
      return false;
    stream.next_part();
  }
  const int required = required_signature_level(package.name, package.version);
  if (stream.type != PART_SIGNATURE || stream.verify_signature() < required) {
    report_broken(console, package);
    return false;
  }
  if (!modes.apply(console, package, manifest)) return false;
  package.installed_this_run = true;
  stream.next_part();
  const bool own = package.bundle.name.empty();
  if (own && !trailer_is_allowed(stream)) {
    report_broken(console, package);
    return false;
  }
  if (recorded && !write_database_record(console, package, manifest)) return false;
  if (package.header_flags & HEADER_BOOT_IMAGE) {
    FileStream marker = manifest.create_file(UPGRADED_MARKER, 1, 0);
    marker.close();
    if (marker.fail()) {
      report_write_failure(console, package, "UPGRADED");
      return false;
    }
  }
  // What the disk lost of a file already closed shows only now.
  if (const int lost = BackgroundFlush::settle()) {
    errno = lost;
    report_write_failure(console, package, "its files");
    return false;
  }
  if (!own) return true;
  console.show_status("");
  console.change(Console::Change::install,
                 (package.disabled ? "(disabled) " : "") + display_name(package));
  return true;
}
