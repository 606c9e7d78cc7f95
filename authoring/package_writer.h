// Builds package containers in code: well-formed packages and bundles for the package tool,
// and broken or hostile ones for tests. Parts are described first, in file order, and
// written by write(), which knows every length by then and asks the signer for signatures.
//
// A package is, in order: an optional digest selector (add_digest_selector), its header
// group (add_header_group), an optional image part (add_image), an optional file archive
// (add_archive), its signature (add_signature), then optional trailer parts (add_part with
// type 16, and type 3 with an empty payload). A bundle is a header group with is_bundle,
// an optional image part, an optional member list (add_bundle_list), then its members, each
// laid out as a package from its header group to its signature.
//
// Payloads (integers little-endian):
//   header (types 1, 18): 16 name (NUL-padded), u32 version, u32 build time, 8 zero,
//                         optional u32 header_flags
//   list (3, 19, 17, 20): u16 count, then per entry: 16 name, u32 min, 4 zero, u32 max,
//                         i32 weight
//   text (24, 16, 2, 23): the text itself
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "authoring/archive_writer.h"
#include "format/part_types.h"
#include "package/package.h"

constexpr size_t NAME_FIELD_SIZE = 16;

// Signs a package: given the digest of its bytes from its type-1 part header through its
// signature part's 6-byte header, returns the whole signature payload.
class Signer {
 public:
  virtual ~Signer() = default;
  // Length of every payload sign() returns; it is written into the part header first.
  virtual uint32_t payload_length() const = 0;
  // `digest` is SHA-1 (digest_size 20) or, after a type-25 part, SHA-256 (32).
  virtual std::string sign(const unsigned char* digest, size_t digest_size) const = 0;
};

// The fields of a header group; parts whose field is unset are left out.
struct HeaderGroup {
  bool is_bundle = false;  // type 18 instead of 1
  std::string name;        // at most 16 bytes
  Version version = 0;
  uint32_t build_time = 0;
  std::optional<uint32_t> header_flags;  // makes the header 36 bytes instead of 32
  std::optional<std::string> text_part24;
  std::optional<std::string> architecture;
  std::optional<std::string> text_part2;
  std::optional<std::string> note;
  std::optional<std::vector<Dependency>> depends;
  std::optional<std::vector<Dependency>> provides;
  std::optional<std::vector<Dependency>> conflicts;
};

// Payload encoders, for parts built or damaged by hand. Names are cut at 16 bytes, list
// counts at 65535 entries.
std::string encode_header(const std::string& name, Version version, uint32_t build_time);
std::string encode_header(const std::string& name, Version version, uint32_t build_time,
                          uint32_t header_flags);
std::string encode_list(const std::vector<Dependency>& entries);

class PackageWriter {
 public:
  explicit PackageWriter(uint32_t magic = PACKAGE_MAGIC);
  ~PackageWriter();
  PackageWriter(const PackageWriter&) = delete;
  PackageWriter& operator=(const PackageWriter&) = delete;

  // Writes `length` into the container header instead of the true length.
  void set_declared_length(uint32_t length);

  // Any part, `payload` written as is; its header declares payload.size(), or
  // `declared_length` when given, whatever the payload really holds.
  void add_part(uint16_t type, std::string payload);
  void add_part(uint16_t type, std::string payload, uint32_t declared_length);

  // A part whose payload is `size` bytes of the file at `path` from `offset`, read only
  // when the container is written, so that memory does not grow with it.
  void add_part_from_file(uint16_t type, const std::string& path, uint64_t offset, uint64_t size);

  // A part holding what can be read from `path` (a pipe or a device), copied at once into
  // a temporary file, since its size must be known first.
  void add_part_copied(uint16_t type, const std::string& path);

  void add_digest_selector();
  // The header part, then the parts of the set fields in their fixed order. A name or
  // list entry name over 16 bytes, or a list over 65535 entries, is an error.
  void add_header_group(const HeaderGroup& group);
  void add_list(uint16_t type, const std::vector<Dependency>& entries);
  void add_image(std::string payload = {});
  void add_bundle_list(const std::vector<Dependency>& members);
  // Compresses the entries at once into a temporary file (data files are streamed), so
  // memory does not grow with the archive; a file that cannot be read is an error.
  void add_archive(const std::vector<ArchiveEntry>& entries);
  // A signature made by `signer` when the container is written; the signer is borrowed
  // and must outlive write().
  void add_signature(const Signer& signer);
  // A signature part holding `payload` as is.
  void add_signature(std::string payload);

  // Writes the container to `out`. False when an earlier step or the writing failed; then
  // error() tells why and `out` may hold a partial container.
  [[nodiscard]] bool write(std::ostream& out);
  const std::string& error() const { return error_; }

 private:
  struct Part;
  struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
  };
  class DigestTracker;

  void fail(const std::string& message);
  bool names_fit(const std::vector<Dependency>& entries);
  uint64_t body_length() const;
  bool write_part(std::ostream& out, const Part& part, DigestTracker& digest);
  bool write_payload(std::ostream& out, const Part& part, const std::string* signature,
                     DigestTracker& digest);

  uint32_t magic_;
  std::optional<uint32_t> declared_length_;
  std::vector<Part> parts_;
  std::string error_;
};
