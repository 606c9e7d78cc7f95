// Pure relations between package records and dependency entries. None modifies a record.
#pragma once

#include <string>

#include "package/package.h"

// name + "-" + version text, also for version 0 ("x-0.0").
std::string display_name(const PackageInfo& package);
// The entry's name, with "-" + version text of `min` only when `min` is not 0.
std::string display_requirement(const Dependency& entry);

// The record itself is the named package within the entry's range.
bool satisfies(const PackageInfo& package, const Dependency& entry);
// Same name and intersecting ranges, a 0 bound being open.
bool overlaps(const Dependency& provided, const Dependency& wanted);
// Some provides entry of the record overlaps `entry`.
bool provides(const PackageInfo& package, const Dependency& entry);
// The record fulfils the dependency, itself or through what it provides.
bool meets(const PackageInfo& package, const Dependency& entry);
// `a` needs `b`, looking into bundle members on both sides.
bool requires(const PackageInfo& a, const PackageInfo& b);
// `a` excludes `b`; not symmetric. Placeholders exclude nothing and are excluded by nothing.
bool conflicts(const PackageInfo& a, const PackageInfo& b);
// The record's own name, or the name of one of its direct members.
bool contains_name(const PackageInfo& package, const std::string& name);
// Version order (then build time) of two records for the same package, seen from `a`;
// a bundle stands for the member that carries the other's name. 0 when unrelated.
int compare(const PackageInfo& a, const PackageInfo& b);
int compare_directed(const PackageInfo& a, const PackageInfo& b, bool reverse);
