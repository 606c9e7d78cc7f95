#include "package/version.h"

#include <cstdio>

std::string version_text(Version version) {
  const unsigned major = version >> 24;
  const unsigned minor = (version >> 16) & 0xFF;
  const unsigned kind = (version >> 8) & 0xFF;
  const unsigned revision = version & 0xFF;
  char text[80];
  if (kind == KIND_FINAL) {
    if (revision == 0) {
      std::snprintf(text, sizeof text, "%u.%u", major, minor);
    } else {
      std::snprintf(text, sizeof text, "%u.%u.%u", major, minor, revision);
    }
    return text;
  }
  const char* suffix = kind == KIND_ALPHA  ? "alpha"
                       : kind == KIND_BETA ? "beta"
                       : kind == KIND_RC   ? "rc"
                                           : "";
  if (revision == 0) {
    std::snprintf(text, sizeof text, "%u.%u%s", major, minor, suffix);
  } else {
    std::snprintf(text, sizeof text, "%u.%u%s%u", major, minor, suffix, revision);
  }
  return text;
}
