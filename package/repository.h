// The process-wide Repository: the installed package records, the lookups that admission
// and planning ask of them, and the console everything reports through.
#pragma once

#include <iosfwd>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "package/console.h"
#include "package/package.h"

class Repository : public Console {
 public:
  // The process-wide object, printing to standard output; created on first use and never
  // destroyed.
  static Repository& instance();

  // A repository printing to `console`; only tests make their own.
  explicit Repository(std::ostream& console);
  // Back to the state at creation, for a process that starts over (a forked test run).
  void reset();

  std::string architecture;
  // Every known record, in load order; the repository owns them.
  std::vector<std::unique_ptr<Package>> packages;

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
  std::set<std::pair<std::string, std::string>> listed_disabled;
  bool is_listed_disabled(const Package& package) const {
    return !package.bundle.name.empty() &&
           listed_disabled.count({package.bundle.name, package.name}) != 0;
  }
};
