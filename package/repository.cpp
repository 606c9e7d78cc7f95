#include "package/repository.h"

#include <iostream>

#include "package/relations.h"

Repository& Repository::instance() {
  static Repository* repository = new Repository(std::cout);
  return *repository;
}

Repository::Repository(std::ostream& console) : Console(console) {}

void Repository::reset() {
  reset_console();
  architecture.clear();
  packages.clear();
  listed_disabled.clear();
}

long Repository::find_index(const std::string& name) const {
  for (size_t i = 0; i < packages.size(); ++i) {
    if (packages[i]->name == name) return long(i);
  }
  return -1;
}

Package* Repository::find(const std::string& name) const {
  const long index = find_index(name);
  return index < 0 ? nullptr : packages[size_t(index)].get();
}

Package* Repository::find_active(const std::string& name) const {
  const Dependency wanted{name, 0, 0, 0};
  Package* disabled_match = nullptr;
  for (const auto& package : packages) {
    if (package->name != name && !provides(*package, wanted)) continue;
    if (!package->disabled) return package.get();
    disabled_match = package.get();
  }
  return disabled_match;
}

void Repository::find_providers(const Dependency& entry, bool include_disabled,
                                std::vector<Package*>& providers) const {
  for (const auto& package : packages) {
    if (is_placeholder(*package) || (package->disabled && !include_disabled)) continue;
    if (meets(*package, entry)) providers.push_back(package.get());
  }
}

Package* Repository::find_conflicting(const PackageInfo& package) const {
  for (const auto& installed : packages) {
    if (!installed->disabled && conflicts(*installed, package)) return installed.get();
  }
  return nullptr;
}
