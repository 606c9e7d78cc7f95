#include "authoring/package_writer.h"

#include <sys/types.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

#include "crypto/hash.h"
#include "crypto/little_endian.h"
#include "format/part_stream.h"
#include "format/signature.h"

namespace {

constexpr size_t HEADER_PAYLOAD_SIZE = 32;
constexpr size_t LIST_ENTRY_SIZE = 32;
constexpr size_t MAX_LIST_ENTRIES = 65535;
constexpr size_t COPY_CHUNK = 65536;

void put_name(unsigned char* field, const std::string& name) {
  std::copy_n(name.begin(), std::min(name.size(), NAME_FIELD_SIZE), field);
}

std::string as_string(const unsigned char* bytes, size_t count) {
  return std::string(reinterpret_cast<const char*>(bytes), count);
}

// How much of a signature payload the signature check reads without hashing it.
uint32_t unhashed_signature_bytes(uint64_t length) {
  if (length >= SIGNATURE_FULL_SIZE) return SIGNATURE_FULL_SIZE;
  if (length >= SIGNATURE_LEVEL1_SIZE) return SIGNATURE_LEVEL1_SIZE;
  return 0;
}

}  // namespace

std::string encode_header(const std::string& name, Version version, uint32_t build_time) {
  unsigned char header[HEADER_PAYLOAD_SIZE] = {};
  put_name(header, name);
  store_u32(header + 16, version);
  store_u32(header + 20, build_time);
  return as_string(header, sizeof header);
}

std::string encode_header(const std::string& name, Version version, uint32_t build_time,
                          uint32_t header_flags) {
  unsigned char flags[4];
  store_u32(flags, header_flags);
  return encode_header(name, version, build_time) + as_string(flags, sizeof flags);
}

std::string encode_list(const std::vector<Dependency>& entries) {
  const size_t count = std::min(entries.size(), MAX_LIST_ENTRIES);
  unsigned char count_field[2];
  store_u16(count_field, uint16_t(count));
  std::string list = as_string(count_field, sizeof count_field);
  for (size_t i = 0; i < count; ++i) {
    unsigned char entry[LIST_ENTRY_SIZE] = {};
    put_name(entry, entries[i].name);
    store_u32(entry + 16, entries[i].min);
    store_u32(entry + 24, entries[i].max);
    store_u32(entry + 28, uint32_t(entries[i].weight));
    list += as_string(entry, sizeof entry);
  }
  return list;
}

struct PackageWriter::Part {
  uint16_t type = 0;
  std::string payload;
  std::optional<uint32_t> declared_length;
  std::unique_ptr<std::FILE, FileCloser> file;  // holds the payload instead, when set
  std::string source_path;                      // or this file from `file_offset`, read late
  uint64_t file_offset = 0;
  uint64_t file_size = 0;
  const Signer* signer = nullptr;  // makes the payload at write time, when set

  uint64_t size() const {
    if (signer != nullptr) return signer->payload_length();
    return file || !source_path.empty() ? file_size : payload.size();
  }
};

// The running digest exactly as a verifying reader that checks every signature keeps it.
class PackageWriter::DigestTracker {
 public:
  void part_header(uint16_t type, const unsigned char* header) {
    if (type == PART_DIGEST_SELECTOR) {
      current_ = &sha256_;
    } else if (type == PART_PACKAGE_HEADER) {
      unsigned char discarded[DIGEST_BUFFER_SIZE];
      current_->final(discarded);
    }
    current_->update(header, PART_HEADER_SIZE);
  }
  void update(const char* bytes, size_t count) { current_->update(bytes, count); }
  // Finishes and restarts; answers the digest's size.
  size_t finish(unsigned char* out) {
    current_->final(out);
    return current_->digest_size();
  }

 private:
  SHA1 sha1_;
  SHA256 sha256_;
  Hash* current_ = &sha1_;
};

PackageWriter::PackageWriter(uint32_t magic) : magic_(magic) {}
PackageWriter::~PackageWriter() = default;

void PackageWriter::fail(const std::string& message) {
  if (error_.empty()) error_ = message;
}

void PackageWriter::set_declared_length(uint32_t length) { declared_length_ = length; }

void PackageWriter::add_part(uint16_t type, std::string payload) {
  Part part;
  part.type = type;
  part.payload = std::move(payload);
  parts_.push_back(std::move(part));
}

void PackageWriter::add_part(uint16_t type, std::string payload, uint32_t declared_length) {
  add_part(type, std::move(payload));
  parts_.back().declared_length = declared_length;
}

void PackageWriter::add_digest_selector() { add_part(PART_DIGEST_SELECTOR, {}); }

bool PackageWriter::names_fit(const std::vector<Dependency>& entries) {
  if (entries.size() > MAX_LIST_ENTRIES) {
    fail("list too long");
    return false;
  }
  for (const Dependency& entry : entries) {
    if (entry.name.size() > NAME_FIELD_SIZE) {
      fail("name longer than 16 bytes: " + entry.name);
      return false;
    }
  }
  return true;
}

void PackageWriter::add_header_group(const HeaderGroup& group) {
  if (group.name.size() > NAME_FIELD_SIZE) fail("name longer than 16 bytes: " + group.name);
  const uint16_t type = group.is_bundle ? PART_BUNDLE_HEADER : PART_PACKAGE_HEADER;
  add_part(type, group.header_flags ? encode_header(group.name, group.version, group.build_time,
                                                    *group.header_flags)
                                    : encode_header(group.name, group.version, group.build_time));
  if (group.text_part24) add_part(PART_TEXT24, *group.text_part24);
  if (group.architecture) add_part(PART_ARCHITECTURE, *group.architecture);
  if (group.text_part2) add_part(PART_TEXT2, *group.text_part2);
  if (group.note) add_part(PART_NOTE, *group.note);
  if (group.depends) add_list(PART_DEPENDS, *group.depends);
  if (group.provides) add_list(PART_PROVIDES, *group.provides);
  if (group.conflicts) add_list(PART_CONFLICTS, *group.conflicts);
}

void PackageWriter::add_list(uint16_t type, const std::vector<Dependency>& entries) {
  if (names_fit(entries)) add_part(type, encode_list(entries));
}

void PackageWriter::add_image(std::string payload) { add_part(PART_IMAGE, std::move(payload)); }

void PackageWriter::add_part_from_file(uint16_t type, const std::string& path, uint64_t offset,
                                       uint64_t size) {
  if (size > std::numeric_limits<uint32_t>::max()) {
    fail(path + ": too large for a part");
    return;
  }
  Part part;
  part.type = type;
  part.source_path = path;
  part.file_offset = offset;
  part.file_size = size;
  parts_.push_back(std::move(part));
}

void PackageWriter::add_part_copied(uint16_t type, const std::string& path) {
  Part part;
  part.type = type;
  part.file.reset(std::tmpfile());
  std::unique_ptr<std::FILE, FileCloser> source(std::fopen(path.c_str(), "rb"));
  if (!part.file || !source) {
    fail(path + ": cannot be read: " + std::strerror(errno));
    return;
  }
  std::string chunk(COPY_CHUNK, '\0');
  for (;;) {
    const size_t got = std::fread(&chunk[0], 1, chunk.size(), source.get());
    if (got == 0) break;
    part.file_size += got;
    if (part.file_size > std::numeric_limits<uint32_t>::max()) {
      fail(path + ": too large for a part");
      return;
    }
    if (std::fwrite(chunk.data(), 1, got, part.file.get()) != got) {
      fail(path + ": cannot be copied: " + std::strerror(errno));
      return;
    }
  }
  if (std::ferror(source.get())) {
    fail(path + ": cannot be read: " + std::strerror(errno));
    return;
  }
  parts_.push_back(std::move(part));
}

void PackageWriter::add_bundle_list(const std::vector<Dependency>& members) {
  add_list(PART_BUNDLE_LIST, members);
}

void PackageWriter::add_archive(const std::vector<ArchiveEntry>& entries) {
  Part part;
  part.type = PART_ARCHIVE;
  part.file.reset(std::tmpfile());
  if (!part.file) {
    fail("cannot create a temporary file for the archive");
    return;
  }
  std::FILE* file = part.file.get();
  uint64_t size = 0;
  const ByteSink sink = [file, &size](const char* bytes, size_t count) {
    size += count;
    return std::fwrite(bytes, 1, count, file) == count;
  };
  std::string error;
  if (!compress_archive(entries, sink, error)) {
    fail(error);
    return;
  }
  if (size > std::numeric_limits<uint32_t>::max()) {
    fail("archive too large for a part");
    return;
  }
  part.file_size = size;
  parts_.push_back(std::move(part));
}

void PackageWriter::add_signature(const Signer& signer) {
  Part part;
  part.type = PART_SIGNATURE;
  part.signer = &signer;
  parts_.push_back(std::move(part));
}

void PackageWriter::add_signature(std::string payload) {
  add_part(PART_SIGNATURE, std::move(payload));
}

uint64_t PackageWriter::body_length() const {
  uint64_t length = 0;
  for (const Part& part : parts_) length += PART_HEADER_SIZE + part.size();
  return length;
}

bool PackageWriter::write_payload(std::ostream& out, const Part& part, const std::string* signature,
                                  DigestTracker& digest) {
  uint64_t unhashed = part.type == PART_SIGNATURE ? unhashed_signature_bytes(part.size()) : 0;
  auto emit = [&](const char* bytes, size_t count) {
    out.write(bytes, std::streamsize(count));
    const size_t skipped = size_t(std::min<uint64_t>(unhashed, count));
    unhashed -= skipped;
    digest.update(bytes + skipped, count - skipped);
    return bool(out);
  };
  if (!part.file && part.source_path.empty()) {
    const std::string& bytes = signature != nullptr ? *signature : part.payload;
    return emit(bytes.data(), bytes.size());
  }
  std::unique_ptr<std::FILE, FileCloser> opened;
  std::FILE* file = part.file.get();
  if (file == nullptr) {
    opened.reset(std::fopen(part.source_path.c_str(), "rb"));
    file = opened.get();
    if (file == nullptr) {
      fail(part.source_path + ": cannot be read: " + std::strerror(errno));
      return false;
    }
  } else if (std::fflush(file) != 0) {
    return false;
  }
  if (::fseeko(file, off_t(part.file_offset), SEEK_SET) != 0) return false;
  std::string chunk(COPY_CHUNK, '\0');
  uint64_t left = part.file_size;
  while (left > 0) {
    const size_t want = size_t(std::min<uint64_t>(left, COPY_CHUNK));
    if (std::fread(&chunk[0], 1, want, file) != want) {
      if (!part.source_path.empty()) fail(part.source_path + ": changed while it was read");
      return false;
    }
    if (!emit(chunk.data(), want)) return false;
    left -= want;
  }
  return true;
}

bool PackageWriter::write_part(std::ostream& out, const Part& part, DigestTracker& digest) {
  const uint64_t size = part.size();
  unsigned char header[PART_HEADER_SIZE];
  store_u16(header, part.type);
  store_u32(header + 2, part.declared_length.value_or(uint32_t(size)));
  out.write(reinterpret_cast<const char*>(header), sizeof header);
  digest.part_header(part.type, header);

  std::string signature;
  if (part.type == PART_SIGNATURE) {
    unsigned char finished[DIGEST_BUFFER_SIZE];
    const size_t digest_size = digest.finish(finished);
    if (part.signer != nullptr) {
      signature = part.signer->sign(finished, digest_size);
      if (signature.size() != size) {
        fail("the signer returned a payload of the wrong length");
        return false;
      }
    }
  }
  if (!write_payload(out, part, part.signer != nullptr ? &signature : nullptr, digest)) {
    fail("cannot write the package");
    return false;
  }
  return true;
}

bool PackageWriter::write(std::ostream& out) {
  if (!error_.empty()) return false;
  const uint64_t body = body_length();
  if (!declared_length_ && body > std::numeric_limits<uint32_t>::max()) {
    fail("package too large for its container header");
    return false;
  }
  unsigned char header[CONTAINER_HEADER_SIZE];
  store_u32(header, magic_);
  store_u32(header + 4, declared_length_.value_or(uint32_t(body)));
  out.write(reinterpret_cast<const char*>(header), sizeof header);
  DigestTracker digest;
  for (const Part& part : parts_) {
    if (!write_part(out, part, digest)) return false;
  }
  out.flush();
  if (!out) fail("cannot write the package");
  return error_.empty();
}
