#include "planning/install_plan.h"

#include <cstdlib>
#include <memory>
#include <set>

#include "database/database_reader.h"
#include "database/database_writer.h"
#include "format/package_reader.h"
#include "format/part_stream.h"
#include "format/signature.h"
#include "install/install_package.h"
#include "install/remove_package.h"
#include "package/relations.h"
#include "package/repository.h"
#include "planning/admission.h"
#include "planning/schedule.h"

namespace {

constexpr size_t STATUS_BLANKS = 78;

// The state a new record starts in: the user's choice for its name, else enabled.
void choose_state(Package& package, const UserForcedMap& user_forced) {
  const auto chosen = user_forced.find(package.name);
  package.disabled = chosen != user_forced.end() && chosen->second;
  package.user_forced = chosen != user_forced.end();
}

// Passes over a member that is not installed, up to the next member, checking its
// signature all the same: the bundle file is kept whole, and every byte of it must have
// been verified. False after the error message when it does not verify.
bool pass_over_member(PartStream& stream, const Package& member) {
  while (stream.type != PART_PACKAGE_HEADER && stream.type != -1) {
    if (stream.type == PART_SIGNATURE &&
        stream.verify_signature() < required_signature_level(member.name, member.version)) {
      report_broken(member);
      return false;
    }
    stream.next_part();
  }
  return true;
}

void drop_record(Repository& repository, long index) {
  repository.packages.erase(repository.packages.begin() + index);
}

bool names(const std::vector<Dependency>& list, const std::string& name) {
  for (const Dependency& entry : list) {
    if (entry.name == name) return true;
  }
  return false;
}

// Whether planning could change anything once the bundle member `added` (not yet among the
// records) joins records that were planned before: not when it replaced nothing, relates to no name, and no other record
// needs, provides or (while it is enabled) excludes its name. Planning after each of a
// bundle's thousands of members would cost their square; the bundle's own plan at its end
// still sees them all.
bool may_change_the_plan(const Repository& repository, const Package& added, bool replaced) {
  if (replaced || !added.depends.empty() || !added.provides.empty() || !added.conflicts.empty()) {
    return true;
  }
  for (const auto& other : repository.packages) {
    if (names(other->depends, added.name) || names(other->provides, added.name) ||
        (!added.disabled && names(other->conflicts, added.name))) {
      return true;
    }
  }
  return false;
}

}  // namespace

bool boot_image_kept(const PackageInfo& package) {
  return (package.header_flags & HEADER_BOOT_IMAGE) && std::getenv("bootimage") != nullptr;
}

bool remove_named(Repository& repository, Manifest& manifest, const std::string& name) {
  const long index = repository.find_index(name);
  if (index < 0) return false;
  remove_installed_package(*repository.packages[size_t(index)], manifest, repository);
  drop_record(repository, index);
  return true;
}

Package* install_single(Repository& repository, Manifest& manifest, PartStream& stream,
                        uint32_t allow, const UserForcedMap& user_forced, const Dependency* bundle,
                        std::string* database_dir, bool* boot_image) {
  auto package = std::make_unique<Package>();
  if (!read_header(*package, stream)) return nullptr;
  if (bundle != nullptr) {
    if (package->name == bundle->name) return nullptr;
    package->bundle = *bundle;
    // Which bundle a member belongs to is not signed: a member may not take over a package
    // of its name that came from elsewhere, which a later bundle of this name would retire.
    // Not even when it would be passed over: the kept bundle image makes it a member at the
    // next load all the same.
    const Package* installed = repository.find(package->name);
    if (installed != nullptr && installed->bundle.name != bundle->name) {
      report_broken(*package);
      return nullptr;
    }
  }

  // A member is admitted silently; the caller's mask still decides below.
  uint32_t result = admit(repository, *package, bundle ? ADMIT_ALL : allow | ADMIT_CONFLICT);
  choose_state(*package, user_forced);
  if (repository.is_listed_disabled(*package)) result |= ADMIT_CONFLICT;
  if (result & ADMIT_CONFLICT) {
    // Excluded by an enabled package: installed, but disabled.
    result &= ~ADMIT_CONFLICT;
    package->disabled = true;
  }
  // What is not installed hands back no directory and no boot image: the file it came in
  // was not read to its end nor its signature checked, and must not be kept.
  if (result & (~allow | ADMIT_SAME)) {
    if (bundle != nullptr) {
      return pass_over_member(stream, *package) ? repository.find(package->name) : nullptr;
    }
    if ((result & ADMIT_SAME) && (allow & ADMIT_SAME)) {
      repository.show_status(std::string(STATUS_BLANKS, ' '));
      repository.show_status("");
      repository.info("installed %s%s", package->disabled ? "(disabled) " : "",
                      display_name(*package).c_str());
      return repository.find(package->name);
    }
    if (!(result & ADMIT_SAME)) return nullptr;
    return repository.find(package->name);
  }

  bool replaced = false;
  if (!stream.is_unrecorded()) {
    const long index = repository.find_index(package->name);
    if (index >= 0) {
      remove_installed_package(*repository.packages[size_t(index)], manifest, repository);
      drop_record(repository, index);
      replaced = true;
    }
  }
  if (!install_package(*package, manifest, stream)) return nullptr;
  const std::string name = package->name;
  const bool keeps_image = package->has_part21;
  const bool boot = boot_image_kept(*package);
  const bool plan = bundle == nullptr || may_change_the_plan(repository, *package, replaced);
  repository.packages.push_back(std::move(package));
  if (plan) apply_scheduled(repository, manifest, 0);
  // The plan may have taken the new record away again (a need that nothing meets once its
  // old version is gone): then it is not installed.
  Package* installed = repository.find(name);
  if (installed == nullptr) return nullptr;
  if (keeps_image && database_dir != nullptr) *database_dir = ::database_dir(*installed);
  if (boot_image != nullptr) *boot_image = boot;
  return installed;
}

namespace {

// The bundle header is not signed: it may only stand for a bundle. One named like an
// installed package of its own would remove that package's files.
bool replaces_only_a_bundle(Repository& repository, const Package& bundle) {
  const Package* installed = repository.find(bundle.name);
  if (installed == nullptr || installed->is_bundle) return true;
  report_broken(bundle);
  return false;
}

// The listed members the user did not choose a state for are installed disabled. The list
// is not signed: it is bounded, a name repeated costs nothing, and it binds the members of
// this bundle only, never another package of a listed name.
bool note_listed_members(Repository& repository, PartStream& stream, const std::string& bundle,
                         const UserForcedMap& user_forced) {
  std::set<std::string> listed;
  // What was read before a break still counts; a list longer than a bundle can be does not.
  const bool complete = read_member_names(stream, listed);
  if (!complete && listed.size() > MAX_BUNDLE_MEMBERS) return false;
  for (const std::string& member : listed) {
    if (user_forced.count(member) == 0) repository.listed_disabled.insert({bundle, member});
  }
  stream.next_part();
  return true;
}

}  // namespace

int install_bundle(Repository& repository, Manifest& manifest, PartStream& stream, uint32_t allow,
                   const UserForcedMap& user_forced, std::string* database_dir, bool* boot_image) {
  if (boot_image != nullptr) *boot_image = false;
  auto bundle = std::make_unique<Package>();
  if (!read_header(*bundle, stream) || !bundle->depends.empty() || !bundle->provides.empty() ||
      !bundle->conflicts.empty()) {
    return BUNDLE_UNREADABLE;
  }
  if (!replaces_only_a_bundle(repository, *bundle)) return BUNDLE_UNREADABLE;
  if (stream.type == PART_IMAGE) stream.next_part();
  const bool keeps_image = bundle->has_part21;
  if ((admit(repository, *bundle, allow) & ~allow) != 0) return BUNDLE_REFUSED;
  remove_named(repository, manifest, bundle->name);
  if (!rewrite_database_record(*bundle, manifest)) return BUNDLE_UNREADABLE;

  const Dependency reference{bundle->name, bundle->version, bundle->version, 0};
  const long stale = repository.find_index(bundle->name);
  if (stale >= 0) drop_record(repository, stale);
  repository.packages.push_back(std::move(bundle));

  std::set<std::string> old_members;
  for (const auto& package : repository.packages) {
    if (package->bundle.name == reference.name) old_members.insert(package->name);
  }
  const std::string label = display_requirement(reference);
  if (stream.type == PART_BUNDLE_LIST &&
      !note_listed_members(repository, stream, reference.name, user_forced)) {
    repository.error("installation of %s failed: broken package", label.c_str());
    return BUNDLE_REFUSED;
  }

  // The member walk is not signed as a whole: a bundle holds each member once, and no more
  // members than a bundle can.
  std::set<std::string> members;
  while (stream.type == PART_PACKAGE_HEADER) {
    if (members.size() == MAX_BUNDLE_MEMBERS) {
      repository.error("installation of %s failed: broken package", label.c_str());
      return BUNDLE_REFUSED;
    }
    bool member_boot_image = false;
    Package* member = install_single(repository, manifest, stream, allow, user_forced, &reference,
                                     nullptr, &member_boot_image);
    if (member == nullptr) return BUNDLE_REFUSED;
    if (!members.insert(member->name).second) {
      repository.error("installation of %s failed: broken package", label.c_str());
      return BUNDLE_REFUSED;
    }
    old_members.erase(member->name);
    if (boot_image != nullptr && member_boot_image) *boot_image = true;
  }
  if (stream.type == PART_ARCHITECTURE) stream.next_part();
  if (stream.type != -1) return BUNDLE_REFUSED;
  if (members.empty()) return BUNDLE_EMPTY;
  // A source that ends where a member would begin looks like a smaller bundle; only the
  // container's length tells, and a bundle cut short must not retire the members it lost.
  if (!stream.read_whole_container()) {
    repository.error("installation of %s failed: broken package", label.c_str());
    return BUNDLE_REFUSED;
  }

  for (const std::string& name : old_members) {
    if (Package* old = repository.find(name)) old->action = ACTION_UNINSTALL;
  }
  apply_scheduled(repository, manifest, 0);
  repository.show_status("");
  repository.info("installed %s", label.c_str());
  if (keeps_image && database_dir != nullptr) *database_dir = DATABASE_ROOT + reference.name + "/";
  return BUNDLE_INSTALLED;
}
