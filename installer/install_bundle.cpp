#include "installer/install_bundle.h"

#include <memory>
#include <set>

#include "database/database_reader.h"
#include "database/database_writer.h"
#include "format/package_reader.h"
#include "format/part_stream.h"
#include "install/scheduled_actions.h"
#include "installer/apply_scheduled.h"
#include "installer/install_offer.h"
#include "package/console.h"
#include "package/relations.h"
#include "package/repository.h"
#include "planning/admission.h"

namespace {

// The header of a bundle, with none of a package's lists; null after the message when it
// may not be installed here.
std::unique_ptr<Package> read_bundle_header(Console& console, const Repository& repository,
                                            PartStream& stream, int& result) {
  auto bundle = std::make_unique<Package>();
  result = BUNDLE_UNREADABLE;
  if (!read_header(*bundle, stream) || !bundle->depends.empty() || !bundle->provides.empty() ||
      !bundle->conflicts.empty()) {
    return nullptr;
  }
  // One named like an installed package of its own would remove that package's files.
  if (!bundle_may_replace(repository, *bundle)) {
    report_broken(console, *bundle);
    return nullptr;
  }
  return bundle;
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
    if (user_forced.count(member) == 0) repository.list_disabled(bundle, member);
  }
  stream.next_part();
  return true;
}

// Installs the members up to the first part that is not a member header. The member walk
// is not signed as a whole: a bundle holds each member once, and no more members than a
// bundle can. `old_members` loses the names installed again.
int install_members(Console& console, Repository& repository, Manifest& manifest,
                    PartStream& stream, uint32_t allow, const UserForcedMap& user_forced,
                    const Dependency& reference, std::set<std::string>& old_members,
                    bool* boot_image) {
  const std::string label = display_requirement(reference);
  std::set<std::string> members;
  while (stream.type == PART_PACKAGE_HEADER) {
    if (members.size() == MAX_BUNDLE_MEMBERS) {
      console.error("installation of %s failed: broken package", label.c_str());
      return BUNDLE_REFUSED;
    }
    bool member_boot_image = false;
    Package* member = install_single(console, repository, manifest, stream, allow, user_forced,
                                     &reference, nullptr, &member_boot_image);
    if (member == nullptr) return BUNDLE_REFUSED;
    if (!members.insert(member->name).second) {
      console.error("installation of %s failed: broken package", label.c_str());
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
    console.error("installation of %s failed: broken package", label.c_str());
    return BUNDLE_REFUSED;
  }
  return BUNDLE_INSTALLED;
}

}  // namespace

int install_bundle(Console& console, Repository& repository, Manifest& manifest, PartStream& stream,
                   uint32_t allow, const UserForcedMap& user_forced, std::string* database_dir,
                   bool* boot_image) {
  if (boot_image != nullptr) *boot_image = false;
  int result = BUNDLE_UNREADABLE;
  std::unique_ptr<Package> bundle = read_bundle_header(console, repository, stream, result);
  if (bundle == nullptr) return result;
  if (stream.type == PART_IMAGE) stream.next_part();
  const bool keeps_image = bundle->has_image_part;
  if ((admit(repository, console, *bundle, allow) & ~allow) != 0) return BUNDLE_REFUSED;
  remove_named(repository, manifest, bundle->name);
  if (!rewrite_database_record(console, *bundle, manifest)) return BUNDLE_UNREADABLE;

  const Dependency reference{bundle->name, bundle->version, bundle->version, 0};
  const long stale = repository.find_index(bundle->name);
  if (stale >= 0) repository.remove_at(size_t(stale));
  repository.add(std::move(bundle));

  std::set<std::string> old_members = members_of(repository, reference.name);
  const std::string label = display_requirement(reference);
  if (stream.type == PART_BUNDLE_LIST &&
      !note_listed_members(repository, stream, reference.name, user_forced)) {
    console.error("installation of %s failed: broken package", label.c_str());
    return BUNDLE_REFUSED;
  }
  result = install_members(console, repository, manifest, stream, allow, user_forced, reference,
                           old_members, boot_image);
  if (result != BUNDLE_INSTALLED) return result;

  retire_members(repository, old_members);
  apply_scheduled(console, repository, manifest, ReportLevel::silent);
  console.show_status("");
  console.change(Console::Change::install, label);
  if (keeps_image && database_dir != nullptr) *database_dir = DATABASE_ROOT + reference.name + "/";
  return BUNDLE_INSTALLED;
}
