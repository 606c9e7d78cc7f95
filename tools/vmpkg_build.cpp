// vmpkg build and vmpkg bundle: packages and bundles written with PackageWriter and signed
// with a key set.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "authoring/key_files.h"
#include "authoring/package_writer.h"
#include "authoring/signature_signing.h"
#include "format/package_reader.h"
#include "format/part_stream.h"
#include "install/install_package.h"
#include "package/version_parse.h"
#include "tools/field_text.h"
#include "tools/signature_check.h"
#include "tools/vmpkg.h"

namespace {

const std::vector<OptionDefinition> HEADER_OPTIONS = {
    {"name", "NAME", false, "package name, 1 to 16 bytes (required)"},
    {"version", "VERSION", false, "version text such as 6.48, 1.2.3, 3.20rc2 (required)"},
    {"build-time", "SECONDS", false,
     "seconds since 1970-01-01 UTC (default: SOURCE_DATE_EPOCH, else now)"},
    {"arch", "ARCH", false,
     "architecture part (readers take i386 without one; a bundle takes its members')"},
    {"note", "TEXT", false, "note shown in the package table (part 23)"},
    {"flags", "N", false, "header flags: 1 boot image, 2 no text database"},
};
const std::vector<OptionDefinition> OUTPUT_OPTIONS = {
    {"image", "FILE", false, "contents of an image part (type 21)"},
    {"level", "1|2", false, "signature level (default 2: Ed25519 and level 1)"},
    {"unrecorded", nullptr, false, "write the magic of an unrecorded package"},
    {"keys", "DIR", false, "key set to sign with (default: the one the tool was built with)"},
    {"output", "FILE", false, "file to write (required)"},
};
const std::vector<OptionDefinition> LIST_OPTIONS = {
    {"depends", "ENTRY", true,
     "dependency: NAME, NAME>=V, NAME<=V or NAME=V, then [,min=V][,max=V][,weight=N]"},
    {"provides", "ENTRY", true, "provided name, same form"},
    {"conflicts", "ENTRY", true, "conflicting package, same form"},
    {"files", "DIR", false, "tree whose regular files are packed with their permission bits"},
    {"processor", "PATH=N", true, "processor selector 1-255 for file PATH of the tree"},
};

std::vector<OptionDefinition> joined(
    std::initializer_list<const std::vector<OptionDefinition>*> parts) {
  std::vector<OptionDefinition> all;
  for (const auto* part : parts) all.insert(all.end(), part->begin(), part->end());
  return all;
}

// What the commands share once the command line is read.
struct Output {
  std::string image;  // the file of the image part, copied when the package is written
  uint64_t image_size = 0;
  bool image_is_file = false;  // else a pipe or a device such as /dev/null, copied first
  bool has_image = false;
  int level = 2;
  uint32_t magic = PACKAGE_MAGIC;
  SigningKeys keys;
  std::string path;
};

// --build-time, else SOURCE_DATE_EPOCH, so that a rebuild gives the same bytes; the clock
// only when neither is given.
bool read_build_time(const CommandLine& line, uint32_t& build_time, std::string& error) {
  if (line.has("build-time")) {
    if (parse_u32(line.value("build-time"), build_time)) return true;
    error = "bad --build-time \"" + line.value("build-time") + "\"";
    return false;
  }
  const char* epoch = std::getenv("SOURCE_DATE_EPOCH");
  if (epoch == nullptr) {
    build_time = static_cast<uint32_t>(std::time(nullptr));
    return true;
  }
  if (parse_u32(epoch, build_time)) return true;
  error = std::string("bad SOURCE_DATE_EPOCH \"") + epoch + "\" (expected seconds since 1970)";
  return false;
}

bool read_header_options(const CommandLine& line, HeaderGroup& group, std::string& error) {
  if (!line.has("name") || !line.has("version")) {
    error = "--name and --version are required";
    return false;
  }
  group.name = line.value("name");
  if (!check_package_name(group.name, error)) return false;
  if (!parse_version_text(line.value("version"), group.version)) {
    error = "bad version \"" + line.value("version") +
            "\" (expected such as 6.48, 1.2.3, 3.20rc2, 4.0beta7)";
    return false;
  }
  if (!read_build_time(line, group.build_time, error)) return false;
  if (line.has("arch")) {
    if (line.value("arch").empty()) {
      error = "--arch needs a name, such as powerpc";
      return false;
    }
    group.architecture = line.value("arch");
  }
  if (line.has("note")) group.note = line.value("note");
  if (line.has("flags")) {
    uint32_t flags = 0;
    if (!parse_u32(line.value("flags"), flags)) {
      error = "bad --flags \"" + line.value("flags") + "\"";
      return false;
    }
    group.header_flags = flags;
  }
  return true;
}

// Answers VMPKG_OK, or a status with a message in `error`.
int read_output_options(const CommandLine& line, const VmpkgContext& context, Output& output,
                        std::string& error) {
  if (!line.has("output")) {
    error = "--output is required";
    return VMPKG_BAD_USAGE;
  }
  output.path = line.value("output");
  if (line.has("level")) {
    const std::string level = line.value("level");
    if (level != "1" && level != "2") {
      error = "--level must be 1 or 2";
      return VMPKG_BAD_USAGE;
    }
    output.level = level[0] - '0';
  }
  if (line.has("unrecorded")) output.magic = UNRECORDED_MAGIC;
  if (line.has("image")) {
    output.has_image = true;
    output.image = line.value("image");
    struct stat info;
    const bool found = ::stat(output.image.c_str(), &info) == 0;
    if (!found || S_ISDIR(info.st_mode)) {
      error = output.image + ": cannot be read: " + std::strerror(found ? EISDIR : errno);
      return VMPKG_NOT_OK;
    }
    output.image_is_file = S_ISREG(info.st_mode);
    output.image_size = uint64_t(info.st_size);
  }
  const std::string keys = line.has("keys") ? line.value("keys") : context.default_keys;
  return read_signing_keys(keys, output.keys, error) ? VMPKG_OK : VMPKG_NOT_OK;
}

bool read_list_option(const CommandLine& line, const char* name,
                      std::optional<std::vector<Dependency>>& list, std::string& error) {
  if (!line.has(name)) return true;
  list.emplace();
  for (const std::string& text : line.values(name)) {
    Dependency entry;
    if (!parse_dependency(text, entry, error)) return false;
    list->push_back(entry);
  }
  if (list->size() > MAX_LIST_ENTRIES) {
    error = "--" + std::string(name) + " gives " + std::to_string(list->size()) +
            " entries; a list holds at most " + std::to_string(MAX_LIST_ENTRIES);
    return false;
  }
  return true;
}

// The regular files of `root` in path order, named relative to it; symbolic links and other
// special files are left out.
bool collect_files(const std::string& root, std::vector<ArchiveEntry>& entries,
                   std::string& error) {
  namespace fs = std::filesystem;
  std::error_code code;
  struct stat top;
  const bool found = ::stat(root.c_str(), &top) == 0;
  if (!found || !S_ISDIR(top.st_mode)) {
    error = root + ": " + std::strerror(found ? ENOTDIR : errno);
    return false;
  }
  std::map<std::string, ArchiveEntry> sorted;
  for (fs::recursive_directory_iterator it(root, code), end; !code && it != end;
       it.increment(code)) {
    struct stat status;
    if (lstat(it->path().c_str(), &status) != 0 || !S_ISREG(status.st_mode)) continue;
    ArchiveEntry entry;
    entry.mode = static_cast<uint16_t>(MODE_REGULAR_FILE | (status.st_mode & 07777));
    entry.name = it->path().lexically_relative(root).generic_string();
    // The installer refuses the whole package for one such name.
    if (!is_safe_entry_name(entry.name)) {
      error = it->path().string() +
              ": a file name the installer refuses (white space, a control character or \"..\")";
      return false;
    }
    entry.data_path = it->path().string();
    sorted[entry.name] = entry;
  }
  if (code) {
    error = root + ": " + code.message();
    return false;
  }
  for (auto& [name, entry] : sorted) entries.push_back(std::move(entry));
  return true;
}

bool apply_processors(const CommandLine& line, std::vector<ArchiveEntry>& entries,
                      std::string& error) {
  for (const std::string& text : line.values("processor")) {
    const size_t equals = text.rfind('=');
    uint32_t selector = 0;
    if (equals == std::string::npos || !parse_u32(text.substr(equals + 1), selector) ||
        selector == 0 || selector > 255) {
      error = "bad --processor \"" + text + "\" (expected PATH=N, N from 1 to 255)";
      return false;
    }
    const std::string path = text.substr(0, equals);
    bool found = false;
    for (ArchiveEntry& entry : entries) {
      if (entry.name != path) continue;
      entry.processor = static_cast<uint8_t>(selector);
      found = true;
    }
    if (!found) {
      error = "--processor names " + path + ", which is not a regular file of the tree";
      return false;
    }
  }
  return true;
}

void add_image(PackageWriter& writer, const Output& output) {
  if (output.image_is_file) {
    writer.add_part_from_file(PART_IMAGE, output.image, 0, output.image_size);
  } else {
    writer.add_part_copied(PART_IMAGE, output.image);
  }
}

int write_package(PackageWriter& writer, const Output& output, const VmpkgContext& context) {
  const std::string& path = output.path;
  struct stat existing;
  // A device or a pipe is written in place; a file is replaced only once the new one is
  // whole, so that a failed build leaves the previous one.
  const bool in_place = ::stat(path.c_str(), &existing) == 0 && !S_ISREG(existing.st_mode);
  std::string temporary = path + ".XXXXXX";
  const int fd = in_place ? -1 : ::mkstemp(&temporary[0]);
  if (!in_place && fd < 0) {
    return context.fail(VMPKG_NOT_OK, path + ": cannot be created: " + std::strerror(errno));
  }
  const std::string& target = in_place ? path : temporary;
  errno = 0;  // a failure of the writer's own leaves it so
  std::ofstream out(target, std::ios::binary | std::ios::trunc);
  bool written = out && writer.write(out) && out.flush();
  out.close();
  written = written && !out.fail();
  int lost = errno;
  if (fd >= 0) {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    if (written && (::fchmod(fd, 0666 & ~mask) != 0 || ::fsync(fd) != 0 ||
                    ::rename(temporary.c_str(), path.c_str()) != 0)) {
      written = false;
      lost = errno;
    }
    ::close(fd);
    if (!written) ::unlink(temporary.c_str());
  }
  if (written) return VMPKG_OK;
  std::string why = writer.error().empty() ? "cannot be written" : writer.error();
  const std::string reason = lost != 0 ? std::strerror(lost) : "";
  if (!reason.empty() && why.find(reason) == std::string::npos) why += ": " + reason;
  return context.fail(VMPKG_NOT_OK, path + ": " + why);
}

// A member's parts from its type-1 header up to, not including, its signature.
struct MemberParts {
  struct Part {
    uint16_t type = 0;
    std::string payload;  // a small part's bytes
    uint64_t offset = 0;  // a large part's place in the member's file, copied when written
    uint32_t length = 0;
  };
  std::string name;
  std::string architecture;
  std::vector<Part> parts;
};

// Parts above this size stay in the member's file until the bundle is written.
constexpr uint32_t LARGE_PART = 65536;

bool read_member(const std::string& path, MemberParts& member, std::string& error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = path + ": cannot be read: " + std::strerror(errno);
    return false;
  }
  PartStream stream(in, false);
  stream.accepted_types = {1, 2, 3, 4, 9, 16, 17, 18, 19, 21, 23, 24};
  for (int32_t type = stream.next_part(); type != -1 && type != PART_SIGNATURE;
       type = stream.next_part()) {
    if (member.parts.empty() && type != PART_PACKAGE_HEADER) {
      error = path + (type == PART_BUNDLE_HEADER ? ": is a bundle" : ": not a package");
      return false;
    }
    MemberParts::Part part{
        static_cast<uint16_t>(type), {}, stream.part_offset(), stream.part_length()};
    if (part.length <= LARGE_PART || type == PART_PACKAGE_HEADER || type == PART_ARCHITECTURE) {
      part.payload.resize(part.length);
      if (!stream.read(&part.payload[0], std::streamsize(part.length))) {
        error = path + ": ends inside a part";
        return false;
      }
    }
    member.parts.push_back(std::move(part));
  }
  if (member.parts.empty() || stream.type != PART_SIGNATURE) {
    error = path + ": not a signed package";
    return false;
  }
  const std::string& header = member.parts[0].payload;
  member.name = header.substr(0, std::min(header.find('\0'), NAME_FIELD_SIZE));
  member.architecture = DEFAULT_ARCHITECTURE;
  for (const MemberParts::Part& part : member.parts) {
    if (part.type == PART_ARCHITECTURE) member.architecture = part.payload;
  }
  return true;
}

// A bundle is admitted by its own architecture: without --arch it takes its members' one,
// which must then be the same for all.
bool bundle_architecture(const std::vector<MemberParts>& members, HeaderGroup& group,
                         std::string& error) {
  if (group.architecture) return true;
  std::string all;
  bool agree = true;
  for (const MemberParts& member : members) {
    all += (all.empty() ? "" : ", ") + member.name + " " + member.architecture;
    agree = agree && member.architecture == members[0].architecture;
  }
  if (!agree) {
    error = "the members' architectures differ (" + all + "); give --arch";
    return false;
  }
  if (members[0].architecture != DEFAULT_ARCHITECTURE) group.architecture = members[0].architecture;
  return true;
}

void print_help(const VmpkgContext& context, const char* usage, const char* text,
                const std::vector<OptionDefinition>& options) {
  context.out << usage << "\n\n" << text << "\nOptions:\n" << describe_options(options);
}

}  // namespace

int vmpkg_build(const std::vector<std::string>& args, const VmpkgContext& context) {
  const std::vector<OptionDefinition> options =
      joined({&HEADER_OPTIONS, &LIST_OPTIONS, &OUTPUT_OPTIONS});
  CommandLine line;
  std::string error;
  if (!line.parse(args, options, error)) return context.fail(VMPKG_BAD_USAGE, error);
  if (line.help) {
    print_help(context, "usage: vmpkg build --name NAME --version VERSION --output FILE [options]",
               "Builds one signed package. Level 2 puts a digest selector before the header\n"
               "and signs with Ed25519 and the level-1 scheme; level 1 signs with the level-1\n"
               "scheme only. Bounds of 0 are open; the weight counts in provides lists.\n"
               "The same options, files and keys give the same bytes: files go in name order,\n"
               "the build time is --build-time or SOURCE_DATE_EPOCH (else now), and both\n"
               "signatures depend only on the key and the digest.\n",
               options);
    return VMPKG_OK;
  }
  if (!line.positional.empty()) {
    return context.fail(VMPKG_BAD_USAGE, "unexpected argument " + line.positional[0]);
  }
  HeaderGroup group;
  std::vector<ArchiveEntry> entries;
  if (!read_header_options(line, group, error) ||
      !read_list_option(line, "depends", group.depends, error) ||
      !read_list_option(line, "provides", group.provides, error) ||
      !read_list_option(line, "conflicts", group.conflicts, error)) {
    return context.fail(VMPKG_BAD_USAGE, error);
  }
  if (line.has("processor") && !line.has("files")) {
    return context.fail(VMPKG_BAD_USAGE, "--processor needs --files");
  }
  Output output;
  const int status = read_output_options(line, context, output, error);
  if (status != VMPKG_OK) return context.fail(status, error);
  if (line.has("files") && (!collect_files(line.value("files"), entries, error) ||
                            !apply_processors(line, entries, error))) {
    return context.fail(VMPKG_NOT_OK, error);
  }

  KeySigner signer(output.keys, output.level);
  PackageWriter writer(output.magic);
  if (output.level == 2) writer.add_digest_selector();
  writer.add_header_group(group);
  if (output.has_image) add_image(writer, output);
  if (line.has("files")) writer.add_archive(entries);
  writer.add_signature(signer);
  return write_package(writer, output, context);
}

int vmpkg_bundle(const std::vector<std::string>& args, const VmpkgContext& context) {
  const std::vector<OptionDefinition> disable = {
      {"disable", "MEMBER", true, "member to install disabled (bundle list, part 20)"}};
  const std::vector<OptionDefinition> options =
      joined({&HEADER_OPTIONS, &disable, &OUTPUT_OPTIONS});
  CommandLine line;
  std::string error;
  if (!line.parse(args, options, error)) return context.fail(VMPKG_BAD_USAGE, error);
  if (line.help) {
    print_help(context,
               "usage: vmpkg bundle --name NAME --version VERSION --output FILE [options] "
               "MEMBER.vmp...",
               "Builds a bundle of the given packages. Each member keeps its header group,\n"
               "image part and files, and is signed again with the bundle's keys and level.\n"
               "The bundle always has an image part (empty without --image), so that it is\n"
               "kept whole as its database image. As with build, the same members, options\n"
               "and keys (and SOURCE_DATE_EPOCH) give the same bytes.\n",
               options);
    return VMPKG_OK;
  }
  HeaderGroup group;
  group.is_bundle = true;
  if (!read_header_options(line, group, error)) return context.fail(VMPKG_BAD_USAGE, error);
  if (line.positional.empty()) return context.fail(VMPKG_BAD_USAGE, "no member packages given");
  if (line.positional.size() > MAX_BUNDLE_MEMBERS) {
    return context.fail(VMPKG_BAD_USAGE, "a bundle holds at most " +
                                             std::to_string(MAX_BUNDLE_MEMBERS) + " members");
  }
  std::vector<Dependency> disabled;
  for (const std::string& name : line.values("disable")) {
    if (!check_package_name(name, error)) return context.fail(VMPKG_BAD_USAGE, error);
    disabled.push_back(Dependency{name});
  }
  Output output;
  const int status = read_output_options(line, context, output, error);
  if (status != VMPKG_OK) return context.fail(status, error);
  const std::string key_dir = line.has("keys") ? line.value("keys") : context.default_keys;
  std::vector<MemberParts> members(line.positional.size());
  std::set<std::string> names;
  for (size_t i = 0; i < members.size(); ++i) {
    const std::string& path = line.positional[i];
    if (!read_member(path, members[i], error)) return context.fail(VMPKG_NOT_OK, error);
    if (members[i].name == group.name) {
      return context.fail(VMPKG_NOT_OK, path + ": has the bundle's own name");
    }
    if (!names.insert(members[i].name).second) {
      return context.fail(VMPKG_NOT_OK, path + ": a second member named " + members[i].name);
    }
    // Signing again must not vouch for bytes that changed since their own signing.
    const SignatureCheck check = check_signatures(path, output.keys.public_keys, key_dir, 1);
    if (!check.reason.empty()) {
      return context.fail(VMPKG_NOT_OK, path + ": refused: " + check.reason +
                                            "; a member must verify with the bundle's key set");
    }
  }
  if (!bundle_architecture(members, group, error)) return context.fail(VMPKG_BAD_USAGE, error);
  for (const Dependency& entry : disabled) {
    if (names.count(entry.name) == 0) {
      return context.fail(VMPKG_BAD_USAGE, "--disable " + entry.name + ": no member has that name");
    }
  }

  KeySigner signer(output.keys, output.level);
  PackageWriter writer(output.magic);
  if (output.level == 2) writer.add_digest_selector();
  writer.add_header_group(group);
  // Always an image part: the installer keeps the bundle file whole as its database image,
  // from which its members are loaded; a member's record in text form is taken for a stale
  // one and removed.
  if (output.has_image) {
    add_image(writer, output);
  } else {
    writer.add_image();
  }
  if (!disabled.empty()) writer.add_bundle_list(disabled);
  for (size_t i = 0; i < members.size(); ++i) {
    for (MemberParts::Part& part : members[i].parts) {
      if (part.payload.size() == part.length) {
        writer.add_part(part.type, std::move(part.payload));
      } else {
        writer.add_part_from_file(part.type, line.positional[i], part.offset, part.length);
      }
    }
    writer.add_signature(signer);
  }
  return write_package(writer, output, context);
}
