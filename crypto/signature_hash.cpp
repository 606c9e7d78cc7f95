#include "crypto/signature_hash.h"

#include <cstring>

namespace {

constexpr size_t BLOCK = 64;

inline uint32_t rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

inline uint32_t load_be32(const unsigned char* bytes) {
  return (uint32_t(bytes[0]) << 24) | (uint32_t(bytes[1]) << 16) | (uint32_t(bytes[2]) << 8) |
         uint32_t(bytes[3]);
}

inline void store_be32(unsigned char* bytes, uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<unsigned char>(value >> (24 - 8 * i));
}

void compress(uint32_t* state, const unsigned char* block, const uint32_t* k) {
  uint32_t w[64];
  for (int t = 0; t < 16; ++t) w[t] = load_be32(block + 4 * t);
  for (int t = 16; t < 64; ++t) {
    const uint32_t s0 = rotr(w[t - 15], 7) ^ rotr(w[t - 15], 18) ^ (w[t - 15] >> 3);
    const uint32_t s1 = rotr(w[t - 2], 17) ^ rotr(w[t - 2], 19) ^ (w[t - 2] >> 10);
    w[t] = w[t - 16] + s0 + w[t - 7] + s1;
  }
  uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
  for (int t = 0; t < 64; ++t) {
    const uint32_t t1 =
        h + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) + k[t] + w[t];
    const uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
    h = g;
    g = f;
    f = e;
    e = d + t1;
    d = c;
    c = b;
    b = a;
    a = t1 + t2;
  }
  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
  state[4] += e;
  state[5] += f;
  state[6] += g;
  state[7] += h;
}

}  // namespace

void signature_hash(const unsigned char* bytes, size_t size, unsigned char* out,
                    const HashConstants& constants) {
  uint32_t state[8];
  std::memcpy(state, constants.initial, sizeof state);
  size_t done = 0;
  for (; size - done >= BLOCK; done += BLOCK) compress(state, bytes + done, constants.k);

  // The tail, 0x80, zeros and the 64-bit big-endian bit count fill one or two blocks.
  unsigned char last[2 * BLOCK] = {};
  const size_t tail = size - done;
  if (tail > 0) std::memcpy(last, bytes + done, tail);
  last[tail] = 0x80;
  const size_t padded = tail + 9 <= BLOCK ? BLOCK : 2 * BLOCK;
  const uint64_t bits = uint64_t(size) * 8;
  store_be32(last + padded - 8, static_cast<uint32_t>(bits >> 32));
  store_be32(last + padded - 4, static_cast<uint32_t>(bits));
  for (size_t offset = 0; offset < padded; offset += BLOCK) {
    compress(state, last + offset, constants.k);
  }
  for (int i = 0; i < 8; ++i) store_be32(out + 4 * i, state[i]);
}
