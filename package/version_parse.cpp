#include "package/version_parse.h"

#include <cctype>

namespace {

// Reads a decimal number of up to three digits at `at`; false when there is none.
bool read_number(const std::string& text, size_t& at, unsigned& value) {
  const size_t start = at;
  value = 0;
  while (at < text.size() && std::isdigit(static_cast<unsigned char>(text[at])) && at - start < 4) {
    value = value * 10 + unsigned(text[at] - '0');
    ++at;
  }
  return at > start;
}

bool take(const std::string& text, size_t& at, const std::string& word) {
  if (text.compare(at, word.size(), word) != 0) return false;
  at += word.size();
  return true;
}

}  // namespace

bool parse_version_text(const std::string& text, Version& version) {
  size_t at = 0;
  unsigned major = 0, minor = 0, revision = 0;
  if (!read_number(text, at, major) || !take(text, at, ".") || !read_number(text, at, minor)) {
    return false;
  }
  uint8_t kind = KIND_FINAL;
  if (take(text, at, "alpha")) {
    kind = KIND_ALPHA;
  } else if (take(text, at, "beta")) {
    kind = KIND_BETA;
  } else if (take(text, at, "rc")) {
    kind = KIND_RC;
  } else if (at < text.size() && !take(text, at, ".")) {
    return false;
  }
  if (at < text.size() && !read_number(text, at, revision)) return false;
  if (at != text.size() || major > 255 || minor > 255 || revision > 255) return false;
  version = make_version(major, minor, kind, revision);
  // Whatever version_text would not write back ("1.02", "1.2.0") is refused.
  return version_text(version) == text;
}
