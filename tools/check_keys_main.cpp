// Run by the configure step on the public keys it is about to compile in: exits 1, naming
// the file and the fault, when a key would let anyone sign.
#include <cstdio>
#include <string>
#include <vector>

#include "crypto/hex_text.h"
#include "crypto/key_check.h"

int main(int argc, char* argv[]) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: check_keys EDDSA_HEX CURVE_HEX\n");
    return 2;
  }
  std::vector<unsigned char> eddsa, curve;
  if (!parse_hex(argv[1], eddsa) || eddsa.size() != 32 || !parse_hex(argv[2], curve) ||
      curve.size() != 32) {
    std::fprintf(stderr, "keys are not 32 bytes of hexadecimal text\n");
    return 2;
  }
  std::string problem;
  if (!is_valid_eddsa_public_key(eddsa.data(), problem)) {
    std::printf("eddsa.pub: %s\n", problem.c_str());
    return 1;
  }
  if (!is_valid_curve_public_key(curve.data(), problem)) {
    std::printf("curve.pub: %s\n", problem.c_str());
    return 1;
  }
  return 0;
}
