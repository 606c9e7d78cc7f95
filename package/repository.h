// The package set: the installed package records and the lookups that admission and
// planning ask of them. The entry point owns one per run and hands it to what needs it.
#pragma once

#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "package/package.h"

class Repository {
 public:
  explicit Repository(std::string architecture = "") : architecture(std::move(architecture)) {}
  Repository(const Repository&) = delete;
  Repository& operator=(const Repository&) = delete;

  std::string architecture;

  // Every known record, in load order; the repository owns them.
  const std::vector<std::unique_ptr<Package>>& packages() const { return packages_; }
  // Appends `package` and answers it; it lives until removed.
  Package& add(std::unique_ptr<Package> package);
  // Destroys the record at `index` (of packages()); pointers to it dangle afterwards.
  void remove_at(size_t index);
  // Destroys `package`, which must be one of packages().
  void remove(const Package* package);

  // Lookups scan `packages` from the first record. Pointers stay valid until the record
  // leaves `packages`.
  // Index of the first record named `name`, or -1.
  long find_index(const std::string& name) const;
  Package* find(const std::string& name) const;
  // The first enabled record that has the name or provides it in any version; else the
  // last disabled one that does; else none. Placeholders are not skipped.
  Package* find_active(const std::string& name) const;
  // Appends every record that meets `entry`, skipping placeholders, and disabled records
  // unless `include_disabled`.
  void find_providers(const Dependency& entry, bool include_disabled,
                      std::vector<Package*>& providers) const;
  // The first enabled record that excludes `package`, or none.
  Package* find_conflicting(const PackageInfo& package) const;

  // Members that a bundle's member list asks to install disabled, for the rest of the run:
  // (bundle name, member name). Unsigned, so they bind that bundle's members only.
  void list_disabled(const std::string& bundle, const std::string& member) {
    listed_disabled_.insert({bundle, member});
  }
  bool is_listed_disabled(const Package& package) const {
    return !package.bundle.name.empty() &&
           listed_disabled_.count({package.bundle.name, package.name}) != 0;
  }

 private:
  std::vector<std::unique_ptr<Package>> packages_;
  std::set<std::pair<std::string, std::string>> listed_disabled_;
};
