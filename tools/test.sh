#!/usr/bin/env bash
# Installs what the build needs (Debian packages), configures, builds and runs every test.
# Usage: tools/test.sh [build-dir] [extra cmake options...]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-build}
shift || true

# e2fsprogs: mkfs.ext4 for the tests that put the root on a disk of its own.
"$here/tools/install_deps.sh" cmake g++ make zlib1g-dev libssl-dev libgtest-dev groff-base \
  e2fsprogs
# Tests on, whatever an earlier configure of the same directory (the demo's) chose.
cmake -S "$here" -B "$build" -DINSTALLER_TESTS=ON "$@"
cmake --build "$build" -j "$(nproc)"
ctest --test-dir "$build" --output-on-failure --no-tests=error -j "$(nproc)"
