#include "crypto/hex_text.h"

namespace {

int digit_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

}  // namespace

bool parse_hex(const std::string& text, std::vector<unsigned char>& bytes) {
  int high = -1;
  for (char c : text) {
    if (is_space(c)) continue;
    const int value = digit_value(c);
    if (value < 0) return false;
    if (high < 0) {
      high = value;
    } else {
      bytes.push_back(static_cast<unsigned char>(high * 16 + value));
      high = -1;
    }
  }
  return high < 0;
}

std::string to_hex(const unsigned char* bytes, size_t size) {
  static const char DIGITS[] = "0123456789abcdef";
  std::string text;
  text.reserve(2 * size);
  for (size_t i = 0; i < size; ++i) {
    text += DIGITS[bytes[i] >> 4];
    text += DIGITS[bytes[i] & 15];
  }
  return text;
}
