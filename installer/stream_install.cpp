#include "installer/stream_install.h"

#include "format/part_stream.h"
#include "installer/install_bundle.h"
#include "installer/install_offer.h"

int stream_install(Console& console, Repository& repository, Manifest& manifest, std::istream& in,
                   uint32_t allow,
                   const UserForcedMap& user_forced, std::streambuf* tee, std::string* database_dir,
                   bool* boot_image) {
  PartStream stream(in, true, tee);
  stream.stay_within_container();
  stream.accepted_types = {
      PART_PACKAGE_HEADER, PART_BUNDLE_HEADER, PART_BUNDLE_LIST, PART_ARCHITECTURE, PART_DEPENDS,
      PART_CONFLICTS,      PART_PROVIDES,      PART_IMAGE,       PART_ARCHIVE,      PART_SIGNATURE};
  stream.next_part();
  if (stream.type == PART_BUNDLE_HEADER) {
    return install_bundle(console, repository, manifest, stream, allow, user_forced, database_dir,
                          boot_image);
  }
  return install_single(console, repository, manifest, stream, allow, user_forced, nullptr, database_dir,
                        boot_image)
             ? 0
             : 1;
}
