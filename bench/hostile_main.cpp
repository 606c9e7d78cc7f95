// Writes hostile bundles of a few MB, one file per shape, signed with the key set given,
// for bench/hostile.sh, which times the installer on each and reports its peak memory:
//   long-list      a member list of 65,535 different names, then one member
//   repeated-list  a member list naming one member 65,535 times, then that member
//   most-members   4,096 different tiny members, as many as a bundle may hold
//   copies         4,000 copies of one signed member
//   strays         one member, then 400,000 empty unsigned parts, then a second member
//   long-relations one member whose depends, provides and conflicts hold 65,535 entries each
// Usage: bench_hostile KEYS_DIR OUT_DIR
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "authoring/key_files.h"
#include "authoring/package_writer.h"
#include "authoring/signature_signing.h"

namespace {

constexpr Version V1 = 0x01006600;
constexpr size_t LIST_MAX = 65535;

HeaderGroup group(const std::string& name, bool bundle = false) {
  HeaderGroup header;
  header.is_bundle = bundle;
  header.name = name;
  header.version = V1;
  header.build_time = 1;
  return header;
}

std::vector<Dependency> names(size_t count, const std::string& prefix, bool same) {
  std::vector<Dependency> list;
  for (size_t i = 0; i < count; ++i) list.push_back({same ? prefix : prefix + std::to_string(i)});
  return list;
}

class Bundle {
 public:
  explicit Bundle(const Signer& signer) : signer_(signer) {
    writer_.add_digest_selector();
    writer_.add_header_group(group("hostile", true));
  }
  void list(const std::vector<Dependency>& entries) { writer_.add_bundle_list(entries); }
  void member(const HeaderGroup& header) {
    writer_.add_header_group(header);
    writer_.add_signature(signer_);
  }
  void part(uint16_t type) { writer_.add_part(type, ""); }
  bool write(const std::string& path) {
    std::ofstream out(path, std::ios::binary);
    if (writer_.write(out) && out.flush()) return true;
    std::fprintf(stderr, "bench_hostile: %s: %s\n", path.c_str(), writer_.error().c_str());
    return false;
  }

 private:
  const Signer& signer_;
  PackageWriter writer_;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: bench_hostile KEYS_DIR OUT_DIR\n");
    return 2;
  }
  SigningKeys keys;
  std::string error;
  if (!read_signing_keys(argv[1], keys, error)) {
    std::fprintf(stderr, "bench_hostile: %s\n", error.c_str());
    return 2;
  }
  const KeySigner signer(keys, 2);
  const std::string out = std::string(argv[2]) + "/";
  bool written = true;

  Bundle long_list(signer);
  long_list.list(names(LIST_MAX, "n", false));
  long_list.member(group("a"));
  written &= long_list.write(out + "long-list.vmp");

  Bundle repeated(signer);
  repeated.list(names(LIST_MAX, "a", true));
  repeated.member(group("a"));
  written &= repeated.write(out + "repeated-list.vmp");

  Bundle most(signer);
  for (size_t i = 0; i < 4096; ++i) most.member(group("m" + std::to_string(i)));
  written &= most.write(out + "most-members.vmp");

  Bundle copies(signer);
  for (size_t i = 0; i < 4000; ++i) copies.member(group("a"));
  written &= copies.write(out + "copies.vmp");

  Bundle strays(signer);
  strays.member(group("a"));
  for (size_t i = 0; i < 400000; ++i) strays.part(7);
  strays.member(group("b"));
  written &= strays.write(out + "strays.vmp");

  Bundle relations(signer);
  HeaderGroup heavy = group("a");
  heavy.depends = names(LIST_MAX, "d", false);
  heavy.provides = names(LIST_MAX, "p", false);
  heavy.conflicts = names(LIST_MAX, "c", false);
  relations.member(heavy);
  written &= relations.write(out + "long-relations.vmp");
  return written ? 0 : 1;
}
