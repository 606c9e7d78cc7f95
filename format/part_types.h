// The part types of package files and bundles, and the two container magics.
#pragma once

#include <cstdint>

constexpr uint32_t PACKAGE_MAGIC = 0xBAD0F11E;
constexpr uint32_t UNRECORDED_MAGIC = 0xA1100FFB;

enum PartType : uint16_t {
  PART_PACKAGE_HEADER = 1,
  PART_TEXT2 = 2,
  PART_DEPENDS = 3,
  PART_ARCHIVE = 4,
  PART_SIGNATURE = 9,
  PART_ARCHITECTURE = 16,
  PART_CONFLICTS = 17,
  PART_BUNDLE_HEADER = 18,
  PART_PROVIDES = 19,
  PART_BUNDLE_LIST = 20,
  PART_IMAGE = 21,
  PART_NOTE = 23,  // the note of the package table
  PART_TEXT24 = 24,
  PART_DIGEST_SELECTOR = 25,  // makes the running digest SHA-256 from here on
};
