// Writes the seed corpora of the fuzz targets, made by the package writer: one directory
// per target under the directory given.
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "authoring/archive_writer.h"
#include "authoring/key_files.h"
#include "authoring/package_writer.h"
#include "authoring/signature_signing.h"

namespace {

void write(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

std::string written(PackageWriter& writer) {
  std::ostringstream out;
  if (!writer.write(out)) std::fprintf(stderr, "seed: %s\n", writer.error().c_str());
  return out.str();
}

HeaderGroup group(const std::string& name, Version version) {
  HeaderGroup header;
  header.name = name;
  header.version = version;
  header.build_time = 1;
  return header;
}

const std::vector<ArchiveEntry> FILES = {
    {0100644, 0, "etc/a", "alpha", ""}, {040755, 0, "dir", "", ""}, {0100755, 2, "bin/b", "b", ""}};

// A package signed at `level` when keys are given, else with bytes that verify at none.
std::string package(const SigningKeys* keys, int level, bool trailer) {
  PackageWriter writer;
  if (level == 2) writer.add_digest_selector();
  HeaderGroup header = group("pkg", 0x07106600);
  header.depends = std::vector<Dependency>{{"base", 0, 0, 0}};
  header.provides = std::vector<Dependency>{{"cap", 1, 2, 3}};
  header.conflicts = std::vector<Dependency>{{"old", 0, 0, 0}};
  header.note = "note";
  writer.add_header_group(header);
  writer.add_image("image");
  writer.add_archive(FILES);
  const std::unique_ptr<KeySigner> signer =
      keys ? std::make_unique<KeySigner>(*keys, level) : nullptr;
  if (signer) {
    writer.add_signature(*signer);
  } else {
    writer.add_signature(std::string(132, '\0'));
  }
  if (trailer) {
    writer.add_part(PART_ARCHITECTURE, "i386");
    writer.add_part(PART_DEPENDS, "");
  }
  return written(writer);
}

// Shapes an attacker makes from signed members: `name` for the bundle header (the fuzz
// root has "base" installed), `stray` parts between members, a member list of `listed`
// names (repeated when `same`).
struct BundleShape {
  std::string name = "suite";
  bool stray = false;
  size_t listed = 1;
  bool same = false;
};

std::string bundle(const SigningKeys* keys, const BundleShape& shape = {}) {
  PackageWriter writer;
  writer.add_digest_selector();
  HeaderGroup header = group(shape.name, 0x02006600);
  header.is_bundle = true;
  writer.add_header_group(header);
  writer.add_image();
  std::vector<Dependency> listed;
  for (size_t i = 0; i < shape.listed; ++i) {
    listed.push_back({shape.same || i == 0 ? "m2" : "n" + std::to_string(i), 0, 0, 0});
  }
  writer.add_bundle_list(listed);
  const std::unique_ptr<KeySigner> signer = keys ? std::make_unique<KeySigner>(*keys, 2) : nullptr;
  for (const char* name : {"m1", "m2"}) {
    if (shape.stray && name[1] == '2') {
      writer.add_part(PART_NOTE, "stray");
      writer.add_part(PART_BUNDLE_LIST, "");
    }
    writer.add_header_group(group(name, 0x01006600));
    writer.add_archive(FILES);
    if (signer) {
      writer.add_signature(*signer);
    } else {
      writer.add_signature(std::string(132, '\0'));
    }
  }
  return written(writer);
}

}  // namespace

int main(int argc, char* argv[]) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_seeds DIR\n");
    return 2;
  }
  const std::string dir = argv[1];
  SigningKeys keys;
  std::string error;
  const SigningKeys* signing = read_signing_keys(INSTALLER_KEYS_DIR, keys, error) ? &keys : nullptr;
  for (const char* target : {"package_file", "install", "archive", "manifest", "database"}) {
    ::mkdir((dir + "/" + target).c_str(), 0755);
  }
  const std::string packages[] = {package(signing, 2, true), package(signing, 1, false),
                                  package(nullptr, 2, false), bundle(signing)};
  for (size_t i = 0; i < 4; ++i) {
    write(dir + "/package_file/" + std::to_string(i), packages[i]);
    write(dir + "/install/" + std::to_string(i), packages[i]);
  }
  BundleShape named_like_base, stray, long_list, repeated;
  named_like_base.name = "base";
  stray.stray = true;
  long_list.listed = 5000;
  repeated.listed = 5000;
  repeated.same = true;
  write(dir + "/install/bundle-named-base", bundle(signing, named_like_base));
  write(dir + "/install/bundle-stray", bundle(signing, stray));
  write(dir + "/install/bundle-long-list", bundle(signing, long_list));
  write(dir + "/install/bundle-repeated-list", bundle(signing, repeated));
  std::string archive;
  for (const ArchiveEntry& entry : FILES)
    archive += encode_entry_header(entry, uint32_t(entry.data.size())) + entry.data;
  write(dir + "/archive/raw", '\x01' + archive);
  write(dir + "/archive/zlib", '\0' + zlib_compress(archive));
  write(
      dir + "/manifest/0",
      "U /flash/old\nL /flash/etc/conf /flash/real\nM /flash/var/pdb/p/image /flash/var/pdb/image\n"
      "M /flash/a /ram/tmpX\n");
  write(dir + "/manifest/1", "U /flash/a\n\nU /flash/b\n");
  // Each file of the database target: a 16-bit little-endian length, then its bytes.
  const auto files = [](std::initializer_list<std::string> contents) {
    std::string joined;
    for (const std::string& file : contents) {
      joined += char(file.size() & 0xFF);
      joined += char(file.size() >> 8);
      joined += file;
    }
    return joined;
  };
  write(dir + "/database/text",
        files({"", "16803328 7\n", "base 1 0\n", "cap 0 0 5\n", "old 0 0\n", "",
               "etc/a\n/bin/b\n", "auto\n", "", "disable\n", "33580544 1\n", "p 0 0\n"}));
  write(dir + "/database/image",
        files({packages[0], "", "", "", "", "", "", "", "", "uninstall", "", "", "", "", packages[3]}));
  write(dir + "/database/image-stray",
        files({bundle(signing, stray), "", "", "", "", "", "", "", "", "", "", "", "", "", ""}));
  return 0;
}
