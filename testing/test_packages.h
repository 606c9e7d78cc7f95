// Signed package files for tests, built by the package writer and signed with the key set
// the installer was configured with (its private files must be present).
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "authoring/package_writer.h"
#include "authoring/signature_signing.h"

// The private key set of INSTALLER_KEYS, or null when it has no private files; tests that
// install packages skip then.
const SigningKeys* test_signing_keys();

// Skips the running test when the key set cannot sign test packages.
#define SKIP_WITHOUT_SIGNING_KEYS()                                                              \
  do {                                                                                           \
    if (test_signing_keys() == nullptr) GTEST_SKIP() << "no private keys to sign test packages"; \
  } while (false)

// The bytes `writer` writes; a failure to write fails the running test.
std::string written(PackageWriter& writer);

// A header group with only name, version, build time and whether it heads a bundle set.
HeaderGroup header_group(const std::string& name, Version version, uint32_t build_time = 1,
                         bool bundle = false);

// A regular file entry.
ArchiveEntry file_entry(const std::string& name, const std::string& data, uint16_t mode = 0644,
                        uint8_t processor = 0);

struct TestPackage {
  HeaderGroup group;
  std::vector<ArchiveEntry> files;
  bool archive = true;  // without it no archive part is written
  // When set, the archive part compresses these bytes instead of `files`: entries built or
  // damaged by hand (encode_entry_header).
  std::optional<std::string> raw_archive;
  std::optional<std::string> image;  // an image part (type 21) before the archive
  int level = 2;                     // 1 or 2; 0 signs with bytes that verify at no level
  bool trailer = false;              // the allowed trailer: architecture, empty list
  // Parts written as they are before its header group: between the members of a bundle,
  // where no signature covers them.
  std::vector<std::pair<uint16_t, std::string>> parts_before;
};

TestPackage test_package(const std::string& name, Version version);

// A package file; level 2 puts a digest selector first.
std::string package_bytes(const TestPackage& package, uint32_t magic = PACKAGE_MAGIC);

// `container` with its length field set to what it holds: parts appended by hand.
std::string with_mended_length(std::string container);

// A bundle file: its header group, an optional member list naming members to install
// disabled, then the members signed at the bundle's level.
std::string bundle_bytes(const HeaderGroup& bundle, const std::vector<TestPackage>& members,
                         const std::vector<std::string>& listed = {}, int level = 2);

// A package whose files each hold "name-version".
TestPackage with_files(const std::string& name, Version version,
                       const std::vector<std::string>& files = {});

// `size` random bytes from `seed`, which do not compress.
std::string noise(size_t size, unsigned seed);
