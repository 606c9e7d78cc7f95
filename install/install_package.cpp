#include "install/install_package.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>

#include "database/database_reader.h"
#include "database/database_writer.h"
#include "format/archive_reader.h"
#include "format/inflate_stream.h"
#include "format/part_stream.h"
#include "format/signature.h"
#include "package/board_probe.h"
#include "package/relations.h"
#include "package/repository.h"
#include "transaction/manifest.h"

namespace {

constexpr const char* FLASH = "/flash";
constexpr const char* DISABLED_ROOT = "/x/";
constexpr const char* UPGRADED_MARKER = "/flash/UPGRADED";
constexpr uint32_t IMAGE_STEP = 4096;
constexpr size_t COPY_CHUNK = 16384;

bool is_written(const ArchiveEntryHeader& entry) {
  if (!entry.is_regular_file()) return false;
  return entry.processor == 0 || entry.processor == processor_family();
}

// Copies the entry's data into its staged file; false after the error message.
bool copy_entry(Package& package, const std::string& name, std::istream& archive,
                std::ofstream& out, uint32_t length) {
  char chunk[COPY_CHUNK];
  while (length > 0) {
    const uint32_t want = std::min<uint32_t>(length, sizeof chunk);
    archive.read(chunk, want);
    if (uint32_t(archive.gcount()) != want) {
      report_broken(package);
      return false;
    }
    if (!out.write(chunk, want)) {
      report_write_failure(package, name);
      return false;
    }
    length -= want;
  }
  out.close();
  if (out.fail()) {
    report_write_failure(package, name);
    return false;
  }
  return true;
}

// Passes the image part with the progress bar moving; it is never buffered.
void pass_image(const Package& package, PartStream& stream) {
  for (uint32_t left = stream.part_length(); left > 0;) {
    show_installing(package, stream);
    const uint32_t step = std::min(left, IMAGE_STEP);
    if (!stream.seekg(step, std::ios::cur)) break;  // cut short: the signature test fails
    left -= step;
  }
  stream.next_part();
}

// The allowed trailer of a package of its own: an architecture part, then an empty list.
bool trailer_is_allowed(PartStream& stream) {
  if (stream.type == PART_ARCHITECTURE) stream.next_part();
  if (stream.type == PART_DEPENDS && stream.part_length() == 0) stream.next_part();
  return stream.type == -1;
}

}  // namespace

bool is_safe_entry_name(const std::string& name) {
  if (name.empty() || name.back() == '/') return false;
  for (const unsigned char c : name) {
    if (c <= ' ' || c == 0x7F) return false;
  }
  bool has_component = false;
  size_t start = 0;
  while (start <= name.size()) {
    const size_t end = std::min(name.find('/', start), name.size());
    const std::string component = name.substr(start, end - start);
    if (component == "..") return false;
    if (!component.empty()) has_component = true;
    start = end + 1;
  }
  // The last component names the file itself.
  const size_t last = name.rfind('/');
  return has_component &&
         name.compare(last == std::string::npos ? 0 : last + 1, std::string::npos, ".") != 0;
}

std::string archive_target(const Package& package, const std::string& name) {
  const std::string tail = name[0] == '/' ? name : "/" + name;
  if (!package.disabled) return tail;
  return DISABLED_ROOT + package.name + tail;
}

void show_installing(const Package& package, const PartStream& stream) {
  const bool disabled_alone = package.disabled && package.bundle.name.empty();
  show_progress(
      Repository::instance(),
      std::string("installing ") + (disabled_alone ? " (disabled) " : "") + message_name(package),
      stream);
}

bool extract_files(Package& package, Manifest& manifest, PartStream& stream) {
  InflateStream archive(stream);
  ArchiveEntryHeader entry;
  for (;;) {
    const EntryRead read = read_archive_entry(archive, entry);
    if (read == EntryRead::end || read == EntryRead::header_cut) return true;
    if (read == EntryRead::broken || !is_safe_entry_name(entry.name)) {
      report_broken(package);
      return false;
    }
    if (!is_written(entry)) {
      // Data cut short here is as broken as in a file that is written.
      if (!skip_entry_data(archive, entry)) {
        report_broken(package);
        return false;
      }
      continue;
    }
    const std::string target = archive_target(package, entry.name);
    std::ofstream out = manifest.create_file(FLASH + target, entry.data_length, entry.mode);
    if (!out.is_open()) {
      report_write_failure(package, entry.name);
      return false;
    }
    package.files.insert(target);
    if (!copy_entry(package, entry.name, archive, out, entry.data_length)) return false;
    show_installing(package, stream);
  }
}

bool install_package(Package& package, Manifest& manifest, PartStream& stream) {
  show_installing(package, stream);
  const bool recorded = !stream.is_unrecorded();
  if (recorded && !keep_database_dir(package, manifest)) return false;
  if (stream.type == PART_IMAGE) pass_image(package, stream);
  if (stream.type == PART_ARCHIVE) {
    const bool keeps_image_only =
        std::getenv("bootimage") != nullptr && (package.header_flags & HEADER_BOOT_IMAGE);
    if (!keeps_image_only && !extract_files(package, manifest, stream)) return false;
    stream.next_part();
  }
  const int required = required_signature_level(package.name, package.version);
  if (stream.type != PART_SIGNATURE || stream.verify_signature() < required) {
    report_broken(package);
    return false;
  }
  stream.next_part();
  const bool own = package.bundle.name.empty();
  if (own && !trailer_is_allowed(stream)) {
    report_broken(package);
    return false;
  }
  if (recorded && !write_database_record(package, manifest)) return false;
  if (package.header_flags & HEADER_BOOT_IMAGE) manifest.create_file(UPGRADED_MARKER, 1, 0).close();
  if (!own) return true;
  Repository& repository = Repository::instance();
  repository.show_status("");
  repository.info("installed %s%s", package.disabled ? "(disabled) " : "",
                  display_name(package).c_str());
  return true;
}
