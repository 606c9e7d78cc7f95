#include "testing/test_packages.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <sstream>
#include <tuple>

#include "authoring/key_files.h"
#include "crypto/little_endian.h"
#include "format/part_stream.h"

namespace {

void add_body(PackageWriter& writer, const TestPackage& package, const Signer* signer) {
  for (const auto& [type, payload] : package.parts_before) writer.add_part(type, payload);
  writer.add_header_group(package.group);
  if (package.image) writer.add_image(*package.image);
  if (package.raw_archive) {
    writer.add_part(PART_ARCHIVE, zlib_compress(*package.raw_archive));
  } else if (package.archive) {
    writer.add_archive(package.files);
  }
  if (package.level == 0 || signer == nullptr) {
    writer.add_signature(std::string(132, '\0'));
  } else {
    writer.add_signature(*signer);
  }
}

// Signs at `level` with the test keys; null when there are none or level 0 is asked.
std::unique_ptr<KeySigner> signer_at(int level) {
  const SigningKeys* keys = test_signing_keys();
  return keys && level != 0 ? std::make_unique<KeySigner>(*keys, level) : nullptr;
}

}  // namespace

std::string written(PackageWriter& writer) {
  std::ostringstream out;
  EXPECT_TRUE(writer.write(out)) << writer.error();
  return out.str();
}

const SigningKeys* test_signing_keys() {
  static const std::unique_ptr<SigningKeys> keys = [] {
    auto read = std::make_unique<SigningKeys>();
    std::string error;
    if (!read_signing_keys(INSTALLER_KEYS_DIR, *read, error)) read.reset();
    return read;
  }();
  return keys.get();
}

HeaderGroup header_group(const std::string& name, Version version, uint32_t build_time,
                         bool bundle) {
  HeaderGroup group;
  std::tie(group.name, group.version, group.build_time) = std::tie(name, version, build_time);
  group.is_bundle = bundle;
  return group;
}

ArchiveEntry file_entry(const std::string& name, const std::string& data, uint16_t mode,
                        uint8_t processor) {
  return ArchiveEntry{uint16_t(MODE_REGULAR_FILE | mode), processor, name, data, ""};
}

TestPackage test_package(const std::string& name, Version version) {
  TestPackage package;
  package.group = header_group(name, version);
  return package;
}

TestPackage with_files(const std::string& name, Version version,
                       const std::vector<std::string>& files) {
  TestPackage package = test_package(name, version);
  for (const std::string& file : files) {
    package.files.push_back(file_entry(file, name + "-" + version_text(version)));
  }
  return package;
}

std::string package_bytes(const TestPackage& package, uint32_t magic) {
  const std::unique_ptr<KeySigner> signer = signer_at(package.level);
  PackageWriter writer(magic);
  if (package.level != 1) writer.add_digest_selector();
  add_body(writer, package, signer.get());
  if (package.trailer) {
    writer.add_part(PART_ARCHITECTURE, "i386");
    writer.add_part(PART_DEPENDS, "");
  }
  return written(writer);
}

std::string with_mended_length(std::string container) {
  if (container.size() >= CONTAINER_HEADER_SIZE) {
    store_u32(reinterpret_cast<unsigned char*>(&container[4]),
              uint32_t(container.size() - CONTAINER_HEADER_SIZE));
  }
  return container;
}

std::string bundle_bytes(const HeaderGroup& bundle, const std::vector<TestPackage>& members,
                         const std::vector<std::string>& listed, int level) {
  const std::unique_ptr<KeySigner> signer = signer_at(level);
  PackageWriter writer;
  if (level != 1) writer.add_digest_selector();
  HeaderGroup group = bundle;
  group.is_bundle = true;
  writer.add_header_group(group);
  writer.add_image();  // kept whole as its database image, as the package tool makes them
  if (!listed.empty()) {
    std::vector<Dependency> entries;
    for (const std::string& name : listed) entries.push_back({name, 0, 0, 0});
    writer.add_bundle_list(entries);
  }
  for (const TestPackage& member : members) add_body(writer, member, signer.get());
  return written(writer);
}

std::string noise(size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& byte : bytes) byte = char(random());
  return bytes;
}
