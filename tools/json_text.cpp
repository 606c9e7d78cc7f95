#include "tools/json_text.h"

#include <cstdio>

namespace {

// Length of the valid UTF-8 sequence at `at`, or 0.
size_t utf8_length(const std::string& text, size_t at) {
  const unsigned char lead = static_cast<unsigned char>(text[at]);
  size_t length = lead < 0x80                   ? 1
                  : lead >= 0xC2 && lead < 0xE0 ? 2
                  : lead >= 0xE0 && lead < 0xF0 ? 3
                  : lead >= 0xF0 && lead < 0xF5 ? 4
                                                : 0;
  if (length == 0 || at + length > text.size()) return 0;
  for (size_t i = 1; i < length; ++i) {
    if ((static_cast<unsigned char>(text[at + i]) & 0xC0) != 0x80) return 0;
  }
  // Overlong forms, surrogates and values past U+10FFFF.
  const unsigned char second = length > 1 ? static_cast<unsigned char>(text[at + 1]) : 0;
  if ((lead == 0xE0 && second < 0xA0) || (lead == 0xED && second >= 0xA0) ||
      (lead == 0xF0 && second < 0x90) || (lead == 0xF4 && second >= 0x90)) {
    return 0;
  }
  return length;
}

}  // namespace

std::string json_string(const std::string& text) {
  std::string out = "\"";
  for (size_t at = 0; at < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[at]);
    const size_t length = utf8_length(text, at);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += char(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c == 0x7F || length == 0) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", unsigned(c));
      out += escaped;
    } else {
      out.append(text, at, length);
      at += length;
      continue;
    }
    ++at;
  }
  return out + "\"";
}

void JsonWriter::separate() {
  if (after_key_) {
    after_key_ = false;
    return;
  }
  if (!first_) out_ << ",";
  first_ = false;
}

JsonWriter& JsonWriter::key(const std::string& name) {
  separate();
  out_ << json_string(name) << ":";
  after_key_ = true;
  return *this;
}

JsonWriter& JsonWriter::value(const std::string& text) {
  separate();
  out_ << json_string(text);
  return *this;
}

JsonWriter& JsonWriter::value(uint64_t number) {
  separate();
  out_ << number;
  return *this;
}

JsonWriter& JsonWriter::value(int64_t number) {
  separate();
  out_ << number;
  return *this;
}

JsonWriter& JsonWriter::value(bool truth) {
  separate();
  out_ << (truth ? "true" : "false");
  return *this;
}

JsonWriter& JsonWriter::null() {
  separate();
  out_ << "null";
  return *this;
}

JsonWriter& JsonWriter::begin_object() {
  separate();
  out_ << "{";
  first_ = true;
  return *this;
}

JsonWriter& JsonWriter::end_object() {
  out_ << "}";
  first_ = false;
  return *this;
}

JsonWriter& JsonWriter::begin_array() {
  separate();
  out_ << "[";
  first_ = true;
  return *this;
}

JsonWriter& JsonWriter::end_array() {
  out_ << "]";
  first_ = false;
  return *this;
}
