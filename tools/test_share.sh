#!/usr/bin/env bash
# Prints how many C++ lines are tests (*_test.cpp and testing/) and how many are everything
# else (programs, libraries, fuzz targets, benchmarks), and the tests' share of all. Lines
# are counted whole, blank ones and comments included; the aim is at most a third.
# Usage: tools/test_share.sh [source-dir]
set -euo pipefail
cd "${1:-$(dirname "$0")/..}"
count() { if (($#)); then cat -- "$@" | wc -l; else echo 0; fi; }
mapfile -t all < <(git ls-files '*.cpp' '*.h')
tests=() code=()
for file in "${all[@]}"; do
  if [[ $file == *_test.cpp || $file == testing/* ]]; then tests+=("$file"); else code+=("$file"); fi
done
t=$(count "${tests[@]}")
c=$(count "${code[@]}")
echo "tests $t, other C++ $c: tests are $((100 * t / (t + c))) % of all C++ lines"
