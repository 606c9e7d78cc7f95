#include "tools/field_text.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>

#include "package/version_parse.h"

namespace {

bool parse_bound(const std::string& text, Version& version, std::string& error) {
  if (text == "0") {
    version = 0;
    return true;
  }
  if (parse_version_text(text, version)) return true;
  error = "bad version \"" + text + "\" (expected such as 6.48, 1.2.3, 3.20rc2, 4.0beta7)";
  return false;
}

}  // namespace

bool parse_u32(const std::string& text, uint32_t& value) {
  if (text.empty()) return false;
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const char* digits = text.c_str() + (hex ? 2 : 0);
  const unsigned char first = static_cast<unsigned char>(*digits);
  if (!(hex ? std::isxdigit(first) : std::isdigit(first))) return false;
  errno = 0;
  char* end = nullptr;
  const unsigned long long parsed = std::strtoull(digits, &end, hex ? 16 : 10);
  if (errno != 0 || *end != '\0' || parsed > 0xFFFFFFFFull) return false;
  value = static_cast<uint32_t>(parsed);
  return true;
}

bool parse_i32(const std::string& text, int32_t& value) {
  const bool negative = !text.empty() && text[0] == '-';
  uint32_t magnitude = 0;
  if (!parse_u32(negative ? text.substr(1) : text, magnitude)) return false;
  if (magnitude > (negative ? 0x80000000u : 0x7FFFFFFFu)) return false;
  value = negative ? static_cast<int32_t>(0u - magnitude) : static_cast<int32_t>(magnitude);
  return true;
}

bool check_package_name(const std::string& name, std::string& error) {
  if (name.empty() || name.size() > 16) {
    error = "name \"" + name + "\" must have 1 to 16 bytes";
    return false;
  }
  for (unsigned char c : name) {
    if (c <= ' ' || c == 0x7F || c == '/' || c == ',') {
      error = "name \"" + name + "\" holds a space, control character, '/' or ','";
      return false;
    }
  }
  if (name == "." || name == "..") {
    error = "name \"" + name + "\" is not a package name";
    return false;
  }
  return true;
}

bool parse_dependency(const std::string& text, Dependency& entry, std::string& error) {
  size_t comma = text.find(',');
  entry = Dependency{};
  entry.name = text.substr(0, comma);
  if (!check_package_name(entry.name, error)) return false;
  bool seen_min = false, seen_max = false, seen_weight = false;
  while (comma != std::string::npos) {
    const size_t start = comma + 1;
    comma = text.find(',', start);
    const std::string field =
        text.substr(start, comma == std::string::npos ? comma : comma - start);
    const size_t equals = field.find('=');
    const std::string key = field.substr(0, equals);
    const std::string value = equals == std::string::npos ? "" : field.substr(equals + 1);
    bool* seen = key == "min"      ? &seen_min
                 : key == "max"    ? &seen_max
                 : key == "weight" ? &seen_weight
                                   : nullptr;
    if (seen == nullptr || equals == std::string::npos || *seen) {
      error = "bad entry \"" + text + "\" (expected NAME[,min=V][,max=V][,weight=N])";
      return false;
    }
    *seen = true;
    if (key == "weight") {
      if (!parse_i32(value, entry.weight)) {
        error = "bad weight \"" + value + "\" in \"" + text + "\"";
        return false;
      }
    } else if (!parse_bound(value, key == "min" ? entry.min : entry.max, error)) {
      return false;
    }
  }
  return true;
}

std::string bound_text(Version version) { return version == 0 ? "0" : version_text(version); }

std::string format_dependency(const Dependency& entry) {
  return entry.name + " min=" + bound_text(entry.min) + " max=" + bound_text(entry.max) +
         " weight=" + std::to_string(entry.weight);
}
