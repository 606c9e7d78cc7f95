// The version word: major, minor, kind letter and revision in the four bytes of an
// unsigned 32-bit number, so that plain unsigned comparison orders versions.
#pragma once

#include <cstdint>
#include <string>

using Version = uint32_t;

// Kind letters of the third byte.
constexpr uint8_t KIND_ALPHA = 'a';
constexpr uint8_t KIND_BETA = 'b';
constexpr uint8_t KIND_RC = 'c';
constexpr uint8_t KIND_FINAL = 'f';

constexpr Version make_version(unsigned major, unsigned minor, uint8_t kind, unsigned revision) {
  return (Version(major & 0xFF) << 24) | (Version(minor & 0xFF) << 16) | (Version(kind) << 8) |
         Version(revision & 0xFF);
}

// "3.20rc2", "1.2", "2.5.3", "4.0beta7". A kind byte other than the four letters has an
// empty suffix, so 0x01020605 reads "1.25". Never longer than 79 characters.
std::string version_text(Version version);
