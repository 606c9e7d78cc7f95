#include "format/package_reader.h"

#include <sys/stat.h>

#include <cstdint>
#include <fstream>
#include <limits>
#include <memory>
#include <set>

#include "crypto/little_endian.h"

namespace {

constexpr size_t HEADER_SIZE = 32;
constexpr size_t FLAGS_END = 36;
constexpr size_t NAME_SIZE = 16;
constexpr size_t ENTRY_SIZE = 32;

bool read_bytes(PartStream& stream, unsigned char* out, size_t count) {
  stream.read(reinterpret_cast<char*>(out), std::streamsize(count));
  return size_t(stream.gcount()) == count;
}

std::string field_name(const unsigned char* field) {
  size_t length = 0;
  while (length < NAME_SIZE && field[length] != 0) ++length;
  return std::string(reinterpret_cast<const char*>(field), length);
}

// Names travel as blank-separated tokens in the database's text files.
bool is_token(const std::string& name) {
  if (name.empty()) return false;
  for (unsigned char c : name) {
    if (c <= ' ' || c == 0x7F) return false;
  }
  return true;
}

// A package name also becomes a directory of the database.
bool is_path_component(const std::string& name) {
  return is_token(name) && name != "." && name != ".." && name.find('/') == std::string::npos;
}

bool read_text(PartStream& stream, std::string& text) {
  const uint32_t length = stream.part_length();
  if (length > MAX_TEXT_PART) return false;
  text.assign(length, '\0');
  if (length == 0) return true;
  stream.read(&text[0], std::streamsize(length));
  return size_t(stream.gcount()) == length;
}

// Reads the text of the current part into `text` when the part is of type `type`.
bool read_optional_text(PartStream& stream, int32_t type, std::string& text) {
  if (stream.type != type) return true;
  if (!read_text(stream, text)) return false;
  stream.next_part();
  return true;
}

bool read_optional_list(PartStream& stream, int32_t type, std::vector<Dependency>& list) {
  if (stream.type != type) return true;
  if (!read_list(stream, list)) return false;
  stream.next_part();
  return true;
}

HeaderRead read_header_part(PackageInfo& info, PartStream& stream) {
  if (stream.type != PART_PACKAGE_HEADER && stream.type != PART_BUNDLE_HEADER) {
    return HeaderRead::broken;
  }
  info.is_bundle = stream.type == PART_BUNDLE_HEADER;
  unsigned char header[HEADER_SIZE];
  if (!read_bytes(stream, header, sizeof header)) return HeaderRead::broken;
  info.name = field_name(header);
  info.version = load_u32(header + 16);
  info.build_time = load_u32(header + 20);
  if (!is_path_component(info.name)) return HeaderRead::broken;
  if (stream.part_length() >= FLAGS_END) {
    unsigned char flags[4];
    if (!read_bytes(stream, flags, sizeof flags)) return HeaderRead::identified;
    info.header_flags = load_u32(flags);
  }
  return HeaderRead::complete;
}

// The size test of an offered file; a file whose status is unavailable is not compared.
bool size_matches(const std::string& path, uint64_t total_length) {
  struct stat status;
  if (::stat(path.c_str(), &status) != 0) return true;
  return uint64_t(status.st_size) == total_length;
}

// Only a regular file is read: opening a pipe would wait for a writer for ever.
bool may_be_read(const std::string& path) {
  struct stat status;
  return ::stat(path.c_str(), &status) != 0 || S_ISREG(status.st_mode);
}

size_t list_entries(const PackageInfo& info) {
  return info.depends.size() + info.provides.size() + info.conflicts.size();
}

// Passes every part up to the next member header: a member's image, archive and signature,
// and whatever else stands between members. Nothing there is signed, so nothing there may
// end the walk and hide the members after it.
void skip_member_body(PartStream& stream) {
  while (stream.type != -1 && stream.type != PART_PACKAGE_HEADER) stream.next_part();
}

}  // namespace

HeaderRead read_header_group(PackageInfo& info, PartStream& stream) {
  const HeaderRead header = read_header_part(info, stream);
  if (header != HeaderRead::complete) return header;
  stream.next_part();
  if (!read_optional_text(stream, PART_TEXT24, info.text_part24)) return HeaderRead::identified;
  if (stream.type == PART_ARCHITECTURE) {
    if (!read_optional_text(stream, PART_ARCHITECTURE, info.architecture)) {
      return HeaderRead::identified;
    }
  } else {
    info.architecture = DEFAULT_ARCHITECTURE;
  }
  if (!read_optional_text(stream, PART_TEXT2, info.text_part2) ||
      !read_optional_text(stream, PART_NOTE, info.note) ||
      !read_optional_list(stream, PART_DEPENDS, info.depends) ||
      !read_optional_list(stream, PART_PROVIDES, info.provides) ||
      !read_optional_list(stream, PART_CONFLICTS, info.conflicts)) {
    return HeaderRead::identified;
  }
  if (stream.type == PART_IMAGE) info.has_image_part = true;
  return HeaderRead::complete;
}

bool read_header(PackageInfo& info, PartStream& stream) {
  return read_header_group(info, stream) == HeaderRead::complete;
}

bool walk_bundle_members(PartStream& stream, const std::function<bool()>& read_member) {
  size_t count = 0;
  skip_member_body(stream);
  while (stream.type == PART_PACKAGE_HEADER) {
    // Each member costs a record; a 38-byte header part must not buy hundreds of bytes
    // without end. Real bundles hold a handful.
    if (count == MAX_BUNDLE_MEMBERS) return false;
    ++count;
    if (!read_member()) return false;
    skip_member_body(stream);
  }
  return true;
}

namespace {

// Reads a list part: its count, told to `start`, then each entry, handed with its name to
// `take`, which answers whether to go on. False when the count is above `max_count` or
// the part cannot hold the entries it counts (refused before reading), an entry is cut
// short or its name is empty or holds whitespace or a control character, or `take` stopped.
template <typename Start, typename Take>
bool read_entries(PartStream& stream, size_t max_count, Start start, Take take) {
  unsigned char count_field[2];
  if (!read_bytes(stream, count_field, sizeof count_field)) return false;
  const uint16_t count = load_u16(count_field);
  if (count > max_count || uint64_t(count) * ENTRY_SIZE > stream.part_buf().remaining()) {
    return false;
  }
  start(count);
  for (uint16_t i = 0; i < count; ++i) {
    unsigned char entry[ENTRY_SIZE];
    if (!read_bytes(stream, entry, sizeof entry)) return false;
    std::string name = field_name(entry);
    if (!is_token(name) || !take(entry, std::move(name))) return false;
  }
  return true;
}

}  // namespace

bool read_list(PartStream& stream, std::vector<Dependency>& list) {
  return read_entries(
      stream, MAX_LIST_ENTRIES,
      // Room for exactly the entries counted: a list of thousands would grow to twice that.
      [&list](uint16_t count) { list.reserve(list.size() + count); },
      [&list](const unsigned char* entry, std::string&& name) {
        list.push_back({std::move(name), load_u32(entry + 16), load_u32(entry + 24),
                        load_i32(entry + 28)});
        return true;
      });
}

bool read_member_names(PartStream& stream, std::set<std::string>& names) {
  return read_entries(
      stream, UINT16_MAX, [](uint16_t) {},
      [&names](const unsigned char*, std::string&& name) {
        names.insert(std::move(name));
        return names.size() <= MAX_BUNDLE_MEMBERS;
      });
}

bool open_package_file(PackageFile& file, const std::string& path) {
  file.path = path;
  if (!may_be_read(path)) return false;
  std::ifstream source(path, std::ios::binary);
  PartStream stream(source, true);
  // PackageFile::size is 32 bits; a container that long is no real package.
  if (stream.total_length > std::numeric_limits<uint32_t>::max()) return false;
  file.size = uint32_t(stream.total_length);
  if (!size_matches(path, stream.total_length)) return false;
  file.is_unrecorded = stream.is_unrecorded();
  stream.accepted_types = {PART_BUNDLE_HEADER, PART_PACKAGE_HEADER, PART_TEXT24,  PART_ARCHITECTURE,
                           PART_TEXT2,         PART_NOTE,           PART_DEPENDS, PART_PROVIDES,
                           PART_CONFLICTS,     PART_IMAGE,          PART_ARCHIVE, PART_SIGNATURE};
  file.is_bundle = stream.next_part() == PART_BUNDLE_HEADER;
  if (!read_header(file, stream)) return false;
  size_t entries = list_entries(file);
  if (!file.is_bundle) return true;
  const bool walked = walk_bundle_members(stream, [&file, &stream, &entries] {
    auto member = std::make_unique<PackageInfo>();
    if (!read_header(*member, stream)) return false;
    entries += list_entries(*member);
    if (entries > MAX_FILE_LIST_ENTRIES) return false;
    file.members.push_back(std::move(member));
    return true;
  });
  return walked && !file.members.empty();
}
