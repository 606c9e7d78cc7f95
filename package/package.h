// Package records: what the installer knows about one package, whether read from a
// package file, from the database, or being installed.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "package/path_set.h"
#include "package/version.h"

// A name with a version range; the element of dependency, provides and conflicts lists.
// A bound of 0 is open. `weight` matters only in provides lists.
struct Dependency {
  std::string name;
  Version min = 0;
  Version max = 0;
  int32_t weight = 0;
};

// Scheduled actions of an installed package; the names are those of schedule files.
enum : uint32_t {
  ACTION_NONE = 0,
  ACTION_UNINSTALL = 1,
  ACTION_ENABLE = 2,
  ACTION_DISABLE = 3,
};
// "", "uninstall", "enable", "disable"; "" for values outside the table.
const char* action_name(uint32_t action);

// header_flags bits.
constexpr uint32_t HEADER_BOOT_IMAGE = 1;  // carries the system image
constexpr uint32_t HEADER_NO_TEXT_DB = 2;  // the database keeps no text files for it

class PackageInfo {
 public:
  explicit PackageInfo(std::string name = {});
  virtual ~PackageInfo();
  PackageInfo(const PackageInfo&) = delete;
  PackageInfo& operator=(const PackageInfo&) = delete;

  std::string name;
  Version version = 0;
  uint32_t build_time = 0;
  uint32_t header_flags = 0;
  // Texts of header parts 24 and 2, which no decision reads; named by their part type,
  // the only thing that defines them.
  std::string text_part24;
  std::string architecture;
  std::string text_part2;
  std::string note;  // part 23: shown in the package table
  bool has_image_part = false;
  std::vector<Dependency> depends;
  std::vector<Dependency> provides;
  std::vector<Dependency> conflicts;
  bool is_bundle = false;
  // Sub-packages of an offered bundle, in file order; empty in installed records.
  std::vector<std::unique_ptr<PackageInfo>> members;
};

// An installed package, or one being installed.
class Package : public PackageInfo {
 public:
  explicit Package(std::string name = {});
  ~Package() override;

  PathSet files;
  Dependency bundle;  // the bundle it came from; empty name when none
  bool disabled = false;
  bool user_forced = false;
  uint32_t action = ACTION_NONE;
  // Its files were staged by this run, not read from the database.
  bool installed_this_run = false;
};

// An offered package file found in a download folder.
class PackageFile : public PackageInfo {
 public:
  explicit PackageFile(std::string name = {});
  ~PackageFile() override;

  std::string path;
  uint32_t size = 0;  // declared container length
  bool is_unrecorded = false;
};

constexpr uint32_t PLACEHOLDER_WORD = 0xFFFFFFFF;

// A record whose version and build time are both all ones stands for no real package.
bool is_placeholder(const PackageInfo& package);
