// vmpkg inspect: every part of a package file, its header groups, lists, file archive, and
// the level each signature verifies at against a key set, as text or as one JSON object.
// Both are written as the file is walked, so that a file of any size costs the same memory.
#include <ctime>
#include <fstream>
#include <iomanip>

#include "authoring/key_files.h"
#include "format/archive_reader.h"
#include "format/inflate_stream.h"
#include "format/package_reader.h"
#include "format/part_stream.h"
#include "format/signature.h"
#include "tools/field_text.h"
#include "tools/json_text.h"
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

// What the walk finds, in file order: the container, its raw parts, then per header group
// its fields, image, bundle list, files and signature.
class Report {
 public:
  virtual ~Report() = default;
  virtual void container(const std::string& path, const ContainerInfo& info) = 0;
  virtual void part(const RawPart& part) = 0;
  virtual void header(const char* kind, const PackageInfo& info) = 0;
  virtual void image(uint32_t length) = 0;
  virtual void disabled(const std::string& name) = 0;
  virtual void file(const ArchiveEntryHeader& entry) = 0;
  virtual void signature(int level, uint32_t length) = 0;
  // `problem` is empty, or why the installer would not take the file.
  virtual void end(const std::string& problem) = 0;
};

class TextReport : public Report {
 public:
  explicit TextReport(std::ostream& out) : out_(out) {}
  void container(const std::string& path, const ContainerInfo& info) override {
    out_ << path << ": "
         << (info.magic == UNRECORDED_MAGIC ? "unrecorded package file" : "package file") << ", "
         << info.size << " bytes, container length " << info.declared
         << "\nparts:\n    offset  type    length\n";
  }
  void part(const RawPart& part) override {
    out_ << std::setw(10) << part.offset;
    if (part.header_cut) {
      out_ << "  part header cut short\n";
      return;
    }
    out_ << std::setw(6) << part.type << std::setw(10) << part.length
         << (part.past_end ? "  runs past the end of the file\n" : "\n");
  }
  void header(const char* kind, const PackageInfo& info) override {
    out_ << kind << " " << info.name << "\n"
         << "  version: " << version_text(info.version) << " (" << hex32(info.version) << ")\n"
         << "  build-time: " << info.build_time << " (" << utc_time(info.build_time) << ")\n"
         << "  flags: " << hex32(info.header_flags) << "\n"
         << "  arch: " << info.architecture << "\n";
    if (!info.text_part24.empty()) out_ << "  text24: " << info.text_part24 << "\n";
    if (!info.text_part2.empty()) out_ << "  text2: " << info.text_part2 << "\n";
    if (!info.note.empty()) out_ << "  note: " << printable(info.note) << "\n";
    const std::pair<const char*, const std::vector<Dependency>*> lists[] = {
        {"depends", &info.depends}, {"provides", &info.provides}, {"conflicts", &info.conflicts}};
    for (const auto& [name, list] : lists) {
      for (const Dependency& entry : *list) {
        out_ << "  " << name << ": " << format_dependency(entry) << "\n";
      }
    }
  }
  void image(uint32_t length) override { out_ << "  image: " << length << " bytes\n"; }
  void disabled(const std::string& name) override { out_ << "  disabled: " << name << "\n"; }
  void file(const ArchiveEntryHeader& entry) override {
    out_ << "  file: " << std::oct << std::setw(6) << std::setfill('0') << entry.mode << std::dec
         << std::setfill(' ') << " " << unsigned(entry.processor) << " " << entry.data_length << " "
         << entry.name << "\n";
  }
  void signature(int level, uint32_t length) override {
    out_ << "  signature: level " << level << " (" << length << " bytes)\n";
  }
  void end(const std::string&) override {}

 private:
  std::ostream& out_;
};

class JsonReport : public Report {
 public:
  explicit JsonReport(std::ostream& out) : json_(out) {}
  void container(const std::string& path, const ContainerInfo& info) override {
    json_.begin_object().key("file").value(path);
    json_.key("unrecorded").value(info.magic == UNRECORDED_MAGIC);
    json_.key("size").value(info.size).key("container_length").value(info.declared);
    json_.key("parts").begin_array();
  }
  void part(const RawPart& part) override {
    json_.begin_object().key("offset").value(part.offset);
    if (!part.header_cut) {
      json_.key("type").value(uint64_t(part.type)).key("length").value(uint64_t(part.length));
    }
    json_.key("cut").value(part.header_cut || part.past_end).end_object();
  }
  void header(const char* kind, const PackageInfo& info) override {
    close_package();
    json_.begin_object().key("kind").value(kind).key("name").value(info.name);
    json_.key("version").value(version_text(info.version));
    json_.key("version_word").value(uint64_t(info.version));
    json_.key("build_time").value(uint64_t(info.build_time));
    json_.key("flags").value(uint64_t(info.header_flags));
    json_.key("arch").value(info.architecture).key("note").value(info.note);
    const std::pair<const char*, const std::vector<Dependency>*> lists[] = {
        {"depends", &info.depends}, {"provides", &info.provides}, {"conflicts", &info.conflicts}};
    for (const auto& [name, list] : lists) {
      json_.key(name).begin_array();
      for (const Dependency& entry : *list) {
        json_.begin_object().key("name").value(entry.name);
        json_.key("min").value(bound_text(entry.min)).key("max").value(bound_text(entry.max));
        json_.key("weight").value(int64_t(entry.weight)).end_object();
      }
      json_.end_array();
    }
    in_package_ = true;
  }
  void image(uint32_t length) override { json_.key("image_length").value(uint64_t(length)); }
  void disabled(const std::string& name) override {
    if (!in_disabled_) json_.key("disabled_members").begin_array();
    in_disabled_ = true;
    json_.value(name);
  }
  void file(const ArchiveEntryHeader& entry) override {
    close_list();
    if (!in_files_) json_.key("files").begin_array();
    in_files_ = true;
    json_.begin_object().key("name").value(entry.name).key("mode").value(uint64_t(entry.mode));
    json_.key("processor").value(uint64_t(entry.processor));
    json_.key("size").value(uint64_t(entry.data_length)).end_object();
  }
  void signature(int level, uint32_t length) override {
    close_list();
    json_.key("signature").begin_object().key("level").value(uint64_t(level));
    json_.key("length").value(uint64_t(length)).end_object();
  }
  void end(const std::string& problem) override {
    close_package();
    json_.end_array().key("problem");
    if (problem.empty()) {
      json_.null();
    } else {
      json_.value(problem);
    }
    json_.end_object().finish();
  }

 private:
  void close_list() {
    if (in_disabled_ || in_files_) json_.end_array();
    in_disabled_ = in_files_ = false;
  }
  // The parts list before the first header group, a package object after it.
  void close_package() {
    close_list();
    if (in_package_) {
      json_.end_object();
    } else if (!in_packages_) {
      json_.end_array().key("packages").begin_array();
      in_packages_ = true;
    }
    in_package_ = false;
  }

  JsonWriter json_;
  bool in_packages_ = false;
  bool in_package_ = false;
  bool in_disabled_ = false;
  bool in_files_ = false;
};

bool report_archive(PartStream& stream, Report& report) {
  InflateStream archive(stream);
  ArchiveEntryHeader entry;
  for (;;) {
    const EntryRead read = read_archive_entry(archive, entry);
    if (read == EntryRead::end) return true;
    if (read != EntryRead::entry || !skip_entry_data(archive, entry)) return false;
    report.file(entry);
  }
}

// Walks the package or bundle with hashing on. Answers why the installer would not take
// it: a broken header, list or archive, or a signature below the level the package needs.
std::string describe(const std::string& path, const SignatureKeys& keys, Report& report) {
  std::ifstream in(path, std::ios::binary);
  PartStream stream(in, true);
  stream.accepted_types = {1, 2, 3, 4, 9, 16, 17, 18, 19, 20, 21, 23, 24};
  std::string problem;
  std::string signed_name;  // of the package the next signature closes
  Version signed_version = 0;
  int32_t type = stream.next_part();
  while (type != -1) {
    if (type == PART_PACKAGE_HEADER || type == PART_BUNDLE_HEADER) {
      PackageInfo info;
      if (!read_header(info, stream)) return "broken header group";
      report.header(type == PART_BUNDLE_HEADER ? "bundle" : "package", info);
      if (type == PART_PACKAGE_HEADER) {
        signed_name = info.name;
        signed_version = info.version;
      }
      type = stream.type;
      continue;
    }
    if (type == PART_IMAGE) {
      report.image(stream.part_length());
    } else if (type == PART_BUNDLE_LIST) {
      std::vector<Dependency> members;
      if (!read_list(stream, members)) return "broken bundle list";
      for (const Dependency& entry : members) report.disabled(entry.name);
    } else if (type == PART_ARCHIVE) {
      if (!report_archive(stream, report)) return "broken file archive";
    } else if (type == PART_SIGNATURE) {
      const uint32_t length = stream.part_length();
      const int level = verify_signature_against(stream, keys);
      const int required = required_signature_level(signed_name, signed_version);
      if (level == 0 && problem.empty()) problem = "a signature verifies at no level";
      if (level < required && problem.empty()) {
        problem = signed_name + " " + version_text(signed_version) + " needs signature level " +
                  std::to_string(required) + ", and it verifies at level " + std::to_string(level);
      }
      report.signature(level, length);
    }
    type = stream.next_part();
  }
  return problem;
}

}  // namespace

int vmpkg_inspect(const std::vector<std::string>& args, const VmpkgContext& context) {
  const std::vector<OptionDefinition> options = {
      {"keys", "DIR", false, "key set to check signatures against (default: the built-in one)"},
      {"json", nullptr, false, "print one JSON object instead of text"}};
  CommandLine line;
  std::string error;
  if (!line.parse(args, options, error)) return context.fail(VMPKG_BAD_USAGE, error);
  if (line.help) {
    context.out << "usage: vmpkg inspect [--keys DIR] [--json] FILE\n\n"
                   "Shows every part (offset, type, length), the header fields, each list entry\n"
                   "(min/max 0 = open bound), the file archive (mode, processor selector, size,\n"
                   "name), and the level each signature verifies at: 2 Ed25519, 1 level-1\n"
                   "scheme, 0 none. Exits 1 when the file is cut short or damaged, or a\n"
                   "signature verifies below the level its package needs.\n\nOptions:\n"
                << describe_options(options);
    return VMPKG_OK;
  }
  if (line.positional.size() != 1) return context.fail(VMPKG_BAD_USAGE, "expected one file");
  SignatureKeys keys;
  const std::string dir = line.has("keys") ? line.value("keys") : context.default_keys;
  if (!read_public_keys(dir, keys, error)) return context.fail(VMPKG_NOT_OK, error);
  const std::string& path = line.positional[0];
  TextReport text(context.out);
  JsonReport json(context.out);
  Report& report = line.has("json") ? static_cast<Report&>(json) : text;
  ContainerInfo container;
  std::string damage;
  bool started = false;
  const auto on_part = [&](const RawPart& part) {
    if (!started) report.container(path, container);
    started = true;
    report.part(part);
  };
  if (!list_parts(path, container, on_part, error, damage)) {
    if (line.has("json")) {
      JsonWriter(context.out)
          .begin_object()
          .key("file")
          .value(path)
          .key("problem")
          .value(error)
          .end_object()
          .finish();
    }
    return context.fail(VMPKG_NOT_OK, error);
  }
  if (!started) report.container(path, container);
  // What is shown is all there is to see; the status says whether the installer could take it.
  const std::string problem = describe(path, keys, report);
  const std::string why = damage.empty() ? problem : damage;
  report.end(why);
  if (why.empty()) return VMPKG_OK;
  if (line.has("json")) return VMPKG_NOT_OK;
  return context.fail(VMPKG_NOT_OK, path + ": " + why);
}
