#include "package/relations.h"

std::string display_name(const PackageInfo& package) {
  return package.name + "-" + version_text(package.version);
}

std::string display_requirement(const Dependency& entry) {
  if (entry.min == 0) return entry.name;
  return entry.name + "-" + version_text(entry.min);
}

bool satisfies(const PackageInfo& package, const Dependency& entry) {
  return package.name == entry.name && entry.min <= package.version &&
         (entry.max == 0 || package.version <= entry.max);
}

bool overlaps(const Dependency& provided, const Dependency& wanted) {
  if (provided.name != wanted.name) return false;
  if (provided.min != 0 && wanted.max != 0 && provided.min > wanted.max) return false;
  if (provided.max != 0 && wanted.min != 0 && provided.max < wanted.min) return false;
  return true;
}

bool provides(const PackageInfo& package, const Dependency& entry) {
  for (const Dependency& provided : package.provides) {
    if (overlaps(provided, entry)) return true;
  }
  return false;
}

bool meets(const PackageInfo& package, const Dependency& entry) {
  return satisfies(package, entry) || provides(package, entry);
}

bool requires(const PackageInfo& a, const PackageInfo& b) {
  for (const Dependency& wanted : a.depends) {
    if (satisfies(b, wanted) || provides(b, wanted)) return true;
  }
  for (const auto& member : b.members) {
    if (requires(a, *member)) return true;
  }
  for (const auto& member : a.members) {
    if (requires(*member, b)) return true;
  }
  return false;
}

bool conflicts(const PackageInfo& a, const PackageInfo& b) {
  if (is_placeholder(a) || is_placeholder(b)) return false;
  for (const Dependency& excluded : a.conflicts) {
    if (satisfies(b, excluded)) return true;
  }
  for (const Dependency& theirs : b.provides) {
    if (theirs.name == a.name) return theirs.weight < 0;
  }
  for (const Dependency& ours : a.provides) {
    if (ours.name == b.name) return ours.weight >= 0;
    for (const Dependency& theirs : b.provides) {
      if (ours.name == theirs.name) return ours.weight > theirs.weight;
    }
  }
  for (const Dependency& excluded : a.conflicts) {
    if (provides(b, excluded)) return true;
  }
  for (const auto& member : b.members) {
    if (member->name == a.name) return true;
  }
  for (const auto& member : a.members) {
    if (conflicts(*member, b)) return true;
  }
  return false;
}

bool contains_name(const PackageInfo& package, const std::string& name) {
  if (package.name == name) return true;
  for (const auto& member : package.members) {
    if (member->name == name) return true;
  }
  return false;
}

namespace {

const PackageInfo* member_named(const PackageInfo& bundle, const std::string& name) {
  for (const auto& member : bundle.members) {
    if (member->name == name) return member.get();
  }
  return nullptr;
}

}  // namespace

int compare(const PackageInfo& a, const PackageInfo& b) {
  const PackageInfo* x = &a;
  const PackageInfo* y = &b;
  int sign = 1;
  while (x->name != y->name) {
    if (const PackageInfo* member = member_named(*x, y->name)) {
      x = member;
    } else if (const PackageInfo* theirs = member_named(*y, x->name)) {
      y = x;
      x = theirs;
      sign = -sign;
    } else {
      return 0;
    }
  }
  if (x->version != y->version) return x->version > y->version ? sign : -sign;
  if (x->build_time != y->build_time) return x->build_time > y->build_time ? sign : -sign;
  return 0;
}

int compare_directed(const PackageInfo& a, const PackageInfo& b, bool reverse) {
  const int order = compare(a, b);
  return reverse ? -order : order;
}
