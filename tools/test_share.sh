#!/usr/bin/env bash
# Prints how many non-blank C++ lines are tests (*_test.cpp and testing/) and how many are
# everything else (programs, libraries, fuzz targets, benchmarks), and the tests' share.
# Usage: tools/test_share.sh [source-dir]
set -euo pipefail
cd "${1:-$(dirname "$0")/..}"
count() { if (($#)); then cat -- "$@" | grep -cv '^[[:space:]]*$' || true; else echo 0; fi; }
mapfile -t all < <(git ls-files '*.cpp' '*.h')
tests=() code=()
for file in "${all[@]}"; do
  if [[ $file == *_test.cpp || $file == testing/* ]]; then tests+=("$file"); else code+=("$file"); fi
done
t=$(count "${tests[@]}")
c=$(count "${code[@]}")
echo "tests $t, other C++ $c: tests are $((100 * t / (t + c))) % of all C++ lines"
