#include "package/repository.h"

#include <algorithm>

#include "package/relations.h"

Package& Repository::add(std::unique_ptr<Package> package) {
  packages_.push_back(std::move(package));
  return *packages_.back();
}

void Repository::remove_at(size_t index) { packages_.erase(packages_.begin() + long(index)); }

void Repository::remove(const Package* package) {
  packages_.erase(std::find_if(packages_.begin(), packages_.end(),
                               [package](const auto& held) { return held.get() == package; }));
}

long Repository::find_index(const std::string& name) const {
  for (size_t i = 0; i < packages_.size(); ++i) {
    if (packages_[i]->name == name) return long(i);
  }
  return -1;
}

Package* Repository::find(const std::string& name) const {
  const long index = find_index(name);
  return index < 0 ? nullptr : packages_[size_t(index)].get();
}

Package* Repository::find_active(const std::string& name) const {
  const Dependency wanted{name, 0, 0, 0};
  Package* disabled_match = nullptr;
  for (const auto& package : packages_) {
    if (package->name != name && !provides(*package, wanted)) continue;
    if (!package->disabled) return package.get();
    disabled_match = package.get();
  }
  return disabled_match;
}

void Repository::find_providers(const Dependency& entry, bool include_disabled,
                                std::vector<Package*>& providers) const {
  for (const auto& package : packages_) {
    if (is_placeholder(*package) || (package->disabled && !include_disabled)) continue;
    if (meets(*package, entry)) providers.push_back(package.get());
  }
}

Package* Repository::find_conflicting(const PackageInfo& package) const {
  for (const auto& installed : packages_) {
    if (!installed->disabled && conflicts(*installed, package)) return installed.get();
  }
  return nullptr;
}
