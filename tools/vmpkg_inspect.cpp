// vmpkg inspect: every part of a package file, its header groups, lists, file archive, and
// the level each signature verifies at against a key set.
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iomanip>
#include <sstream>

#include "authoring/key_files.h"
#include "crypto/little_endian.h"
#include "format/archive_reader.h"
#include "format/inflate_stream.h"
#include "format/package_reader.h"
#include "format/part_stream.h"
#include "format/signature.h"
#include "tools/field_text.h"
#include "tools/part_list.h"
#include "tools/vmpkg.h"

namespace {

std::string utc_time(uint32_t seconds) {
  const std::time_t time = seconds;
  std::tm parts{};
  char text[32] = "?";
  if (gmtime_r(&time, &parts) != nullptr) {
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &parts);
  }
  return text;
}

void print_header(const PackageInfo& info, const char* kind, std::ostream& out) {
  out << kind << " " << info.name << "\n"
      << "  version: " << version_text(info.version) << " (" << hex32(info.version) << ")\n"
      << "  build-time: " << info.build_time << " (" << utc_time(info.build_time) << ")\n"
      << "  flags: " << hex32(info.header_flags) << "\n"
      << "  arch: " << info.architecture << "\n";
  if (!info.text_part24.empty()) out << "  text24: " << info.text_part24 << "\n";
  if (!info.text_part2.empty()) out << "  text2: " << info.text_part2 << "\n";
  if (!info.note.empty()) out << "  note: " << info.note << "\n";
  const std::pair<const char*, const std::vector<Dependency>*> lists[] = {
      {"depends", &info.depends}, {"provides", &info.provides}, {"conflicts", &info.conflicts}};
  for (const auto& [name, list] : lists) {
    for (const Dependency& entry : *list)
      out << "  " << name << ": " << format_dependency(entry) << "\n";
  }
}

// One line per archive entry: mode (octal), processor selector, size, name.
bool print_archive(PartStream& stream, std::ostream& out) {
  InflateStream archive(stream);
  ArchiveEntryHeader entry;
  for (;;) {
    const EntryRead read = read_archive_entry(archive, entry);
    if (read == EntryRead::end) return true;
    if (read != EntryRead::entry || !skip_entry_data(archive, entry)) return false;
    out << "  file: " << std::oct << std::setw(6) << std::setfill('0') << entry.mode << std::dec
        << std::setfill(' ') << " " << unsigned(entry.processor) << " " << entry.data_length << " "
        << entry.name << "\n";
  }
}

// Walks the package or bundle with hashing on; false when a header, list or the archive is
// broken. `unsigned_count` counts the signatures that verify at no level.
bool describe(const std::string& path, const SignatureKeys& keys, std::ostream& out,
              std::string& error, int& unsigned_count) {
  std::ifstream in(path, std::ios::binary);
  PartStream stream(in, true);
  stream.accepted_types = {1, 2, 3, 4, 9, 16, 17, 18, 19, 20, 21, 23, 24};
  int32_t type = stream.next_part();
  while (type != -1) {
    if (type == PART_PACKAGE_HEADER || type == PART_BUNDLE_HEADER) {
      PackageInfo info;
      if (!read_header(info, stream)) {
        error = path + ": broken header group";
        return false;
      }
      print_header(info, type == PART_BUNDLE_HEADER ? "bundle" : "package", out);
      type = stream.type;
      continue;
    }
    if (type == PART_IMAGE) {
      out << "  image: " << stream.part_length() << " bytes\n";
    } else if (type == PART_BUNDLE_LIST) {
      std::vector<Dependency> members;
      if (!read_list(stream, members)) {
        error = path + ": broken bundle list";
        return false;
      }
      for (const Dependency& entry : members) out << "  disabled: " << entry.name << "\n";
    } else if (type == PART_ARCHIVE) {
      if (!print_archive(stream, out)) {
        error = path + ": broken file archive";
        return false;
      }
    } else if (type == PART_SIGNATURE) {
      const uint32_t length = stream.part_length();
      const int level = verify_signature_against(stream, keys);
      unsigned_count += level == 0;
      out << "  signature: level " << level << " (" << length << " bytes)\n";
    }
    type = stream.next_part();
  }
  return true;
}

}  // namespace

int vmpkg_inspect(const std::vector<std::string>& args, const VmpkgContext& context) {
  const std::vector<OptionDefinition> options = {
      {"keys", "DIR", false, "key set to check signatures against (default: the built-in one)"}};
  CommandLine line;
  std::string error;
  if (!line.parse(args, options, error)) return context.fail(VMPKG_BAD_USAGE, error);
  if (line.help) {
    context.out << "usage: vmpkg inspect [--keys DIR] FILE\n\n"
                   "Shows every part (offset, type, length), the header fields, each list entry\n"
                   "(min/max 0 = open bound), the file archive (mode, processor selector, size,\n"
                   "name), and the level each signature verifies at: 2 Ed25519, 1 level-1\n"
                   "scheme, 0 none. Exits 1 when the file is cut short or damaged, or a\n"
                   "signature verifies at no level.\n\nOptions:\n"
                << describe_options(options);
    return VMPKG_OK;
  }
  if (line.positional.size() != 1) return context.fail(VMPKG_BAD_USAGE, "expected one file");
  SignatureKeys keys;
  const std::string dir = line.has("keys") ? line.value("keys") : context.default_keys;
  if (!read_public_keys(dir, keys, error)) return context.fail(VMPKG_NOT_OK, error);
  const std::string& path = line.positional[0];
  std::string damage;
  int unsigned_count = 0;
  if (!list_parts(path, &context.out, error, damage) ||
      !describe(path, keys, context.out, error, unsigned_count)) {
    return context.fail(VMPKG_NOT_OK, error);
  }
  // What is shown is all there is to see; the status says whether the installer could take it.
  if (!damage.empty()) return context.fail(VMPKG_NOT_OK, path + ": " + damage);
  if (unsigned_count > 0) {
    return context.fail(VMPKG_NOT_OK, path + ": a signature verifies at no level against " + dir);
  }
  return VMPKG_OK;
}
