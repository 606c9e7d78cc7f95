// Hexadecimal text, the form of every key file: digits in byte order, white space ignored.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// Appends the bytes that `text` spells to `bytes`. False, with `bytes` unspecified, when
// the text holds anything but hex digits and white space, or an odd number of digits.
[[nodiscard]] bool parse_hex(const std::string& text, std::vector<unsigned char>& bytes);

// Lower-case digits, no separators.
std::string to_hex(const unsigned char* bytes, size_t size);
