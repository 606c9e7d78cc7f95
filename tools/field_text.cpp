#include "tools/field_text.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

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
  const char* const accepted =
      " (a name has 1 to 16 bytes, none of them a space, control character or one of /,<>=)";
  if (name.empty() || name.size() > 16) {
    error = "name \"" + name + "\" has " + std::to_string(name.size()) + " bytes" + accepted;
    return false;
  }
  for (unsigned char c : name) {
    if (c <= ' ' || c == 0x7F || std::strchr("/,<>=", c) != nullptr) {
      error = "name \"" + name + "\" is refused" + accepted;
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
  const char* const forms =
      " (expected NAME, NAME>=V, NAME<=V or NAME=V, then any of ,min=V ,max=V ,weight=N)";
  size_t comma = text.find(',');
  const std::string head = text.substr(0, comma);
  entry = Dependency{};
  // "netd>=1.0" is a bound, not a name: the name ends where a relation begins.
  const size_t relation = head.find_first_of("<>=");
  entry.name = head.substr(0, relation);
  if (!check_package_name(entry.name, error)) return false;
  bool seen_min = false, seen_max = false, seen_weight = false;
  if (relation != std::string::npos) {
    const std::string op = head.substr(relation, head[relation] == '=' ? 1 : 2);
    Version bound = 0;
    if (op != ">=" && op != "<=" && op != "=") {
      error = "bad entry \"" + text + "\"" + forms;
      return false;
    }
    if (!parse_bound(head.substr(relation + op.size()), bound, error)) return false;
    seen_min = op != "<=";
    seen_max = op != ">=";
    if (seen_min) entry.min = bound;
    if (seen_max) entry.max = bound;
  }
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
      error = "bad entry \"" + text + "\"" + forms;
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

std::string printable(const std::string& text) {
  static const char digits[] = "0123456789abcdef";
  std::string shown;
  for (const unsigned char c : text) {
    if (c >= 0x20 && c != 0x7f) {
      shown += char(c);
    } else {
      shown += {'\\', 'x', digits[c >> 4], digits[c & 15]};
    }
  }
  return shown;
}

std::string bound_text(Version version) { return version == 0 ? "0" : version_text(version); }

std::string format_dependency(const Dependency& entry) {
  return entry.name + " min=" + bound_text(entry.min) + " max=" + bound_text(entry.max) +
         " weight=" + std::to_string(entry.weight);
}
