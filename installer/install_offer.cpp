#include "installer/install_offer.h"

#include <cstdlib>
#include <memory>

#include "database/database_reader.h"
#include "database/database_writer.h"
#include "format/package_reader.h"
#include "format/part_stream.h"
#include "format/signature.h"
#include "install/install_package.h"
#include "install/scheduled_actions.h"
#include "installer/apply_scheduled.h"
#include "package/console.h"
#include "package/relations.h"
#include "package/repository.h"

namespace {

constexpr size_t STATUS_BLANKS = 78;

// Passes over a member that is not installed, up to the next member, checking its
// signature all the same: the bundle file is kept whole, and every byte of it must have
// been verified. False after the error message when it does not verify.
bool pass_over_member(Console& console, PartStream& stream, const Package& member) {
  while (stream.type != PART_PACKAGE_HEADER && stream.type != -1) {
    if (stream.type == PART_SIGNATURE &&
        stream.verify_signature() < required_signature_level(member.name, member.version)) {
      report_broken(console, member);
      return false;
    }
    stream.next_part();
  }
  return true;
}

}  // namespace

bool boot_image_kept(const PackageInfo& package) {
  return (package.header_flags & HEADER_BOOT_IMAGE) && std::getenv("bootimage") != nullptr;
}

Package* install_single(Console& console, Repository& repository, Manifest& manifest,
                        PartStream& stream, uint32_t allow, const UserForcedMap& user_forced,
                        const Dependency* bundle, std::string* database_dir, bool* boot_image) {
  auto package = std::make_unique<Package>();
  if (!read_header(*package, stream)) return nullptr;
  if (bundle != nullptr) {
    if (package->name == bundle->name) return nullptr;
    package->bundle = *bundle;
    // Not even a member that would be passed over: the kept bundle image makes it a member
    // at the next load all the same.
    if (!member_may_join(repository, *package, bundle->name)) {
      report_broken(console, *package);
      return nullptr;
    }
  }

  const OfferDecision decision =
      decide_offer(repository, console, *package, allow, user_forced, bundle != nullptr);
  package->disabled = decision.disabled;
  package->user_forced = decision.user_forced;
  // What is not installed hands back no directory and no boot image: the file it came in
  // was not read to its end nor its signature checked, and must not be kept.
  switch (decision.outcome) {
    case OfferOutcome::install:
      break;
    case OfferOutcome::pass_over:
      return pass_over_member(console, stream, *package) ? repository.find(package->name) : nullptr;
    case OfferOutcome::already_installed:
      console.show_status(std::string(STATUS_BLANKS, ' '));
      console.show_status("");
      console.change(Console::Change::install,
                     (package->disabled ? "(disabled) " : "") + display_name(*package));
      return repository.find(package->name);
    case OfferOutcome::stays_installed:
      return repository.find(package->name);
    case OfferOutcome::refused:
      return nullptr;
  }

  const bool replaced =
      !stream.is_unrecorded() && remove_named(repository, manifest, package->name);
  if (!install_package(console, *package, manifest, stream)) return nullptr;
  const std::string name = package->name;
  const bool keeps_image = package->has_image_part;
  const bool boot = boot_image_kept(*package);
  const bool plan = bundle == nullptr || may_change_the_plan(repository, *package, replaced);
  repository.add(std::move(package));
  if (plan) apply_scheduled(console, repository, manifest, ReportLevel::silent);
  // The plan may have taken the new record away again (a need that nothing meets once its
  // old version is gone): then it is not installed.
  Package* installed = repository.find(name);
  if (installed == nullptr) return nullptr;
  if (keeps_image && database_dir != nullptr) *database_dir = ::database_dir(*installed);
  if (boot_image != nullptr) *boot_image = boot;
  return installed;
}
