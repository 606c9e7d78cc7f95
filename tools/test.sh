#!/usr/bin/env bash
# Installs what the build needs (Debian packages), configures, builds and runs every test.
# Usage: tools/test.sh [build-dir] [extra cmake options...]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-build}
shift || true

"$here/tools/install_deps.sh" cmake g++ make zlib1g-dev libssl-dev libgtest-dev
cmake -S "$here" -B "$build" "$@"
cmake --build "$build" -j "$(nproc)"
ctest --test-dir "$build" --output-on-failure -j "$(nproc)"
