// Little-endian loads and stores for every integer of a package file, whatever the byte
// order of the host. Never cast a buffer to an integer type instead.
#pragma once

#include <cstdint>

inline uint16_t load_u16(const unsigned char* bytes) {
  return static_cast<uint16_t>(bytes[0] | (bytes[1] << 8));
}

inline uint32_t load_u32(const unsigned char* bytes) {
  return uint32_t(bytes[0]) | (uint32_t(bytes[1]) << 8) | (uint32_t(bytes[2]) << 16) |
         (uint32_t(bytes[3]) << 24);
}

inline int32_t load_i32(const unsigned char* bytes) {
  return static_cast<int32_t>(load_u32(bytes));
}

inline void store_u16(unsigned char* bytes, uint16_t value) {
  bytes[0] = static_cast<unsigned char>(value);
  bytes[1] = static_cast<unsigned char>(value >> 8);
}

inline void store_u32(unsigned char* bytes, uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<unsigned char>(value >> (8 * i));
}
