#include "package/package.h"

#include <utility>

const char* action_name(uint32_t action) {
  switch (action) {
    case ACTION_UNINSTALL:
      return "uninstall";
    case ACTION_ENABLE:
      return "enable";
    case ACTION_DISABLE:
      return "disable";
    default:
      return "";
  }
}

PackageInfo::PackageInfo(std::string name) : name(std::move(name)) {}
PackageInfo::~PackageInfo() = default;

Package::Package(std::string name) : PackageInfo(std::move(name)) {}
Package::~Package() = default;

PackageFile::PackageFile(std::string name) : PackageInfo(std::move(name)) {}
PackageFile::~PackageFile() = default;

bool is_placeholder(const PackageInfo& package) {
  return package.version == PLACEHOLDER_WORD && package.build_time == PLACEHOLDER_WORD;
}
