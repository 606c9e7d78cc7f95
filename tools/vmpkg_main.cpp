// The package tool; everything but the argument vector lives in tools/vmpkg.cpp.
#include <iostream>
#include <string>
#include <vector>

#include "tools/vmpkg.h"

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  return run_vmpkg(args, std::cout, std::cerr, VMPKG_DEFAULT_KEYS);
}
