#!/usr/bin/env bash
# Installs what the build needs (Debian packages), configures, builds and runs every test.
# Usage: tools/test.sh [build-dir] [extra cmake options...]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-build}
shift || true

needed=()
for package in cmake g++ make zlib1g-dev libssl-dev libgtest-dev groff-base; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
    needed+=("$package")
done
if [ ${#needed[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${needed[@]}"
fi

cmake -S "$here" -B "$build" "$@"
cmake --build "$build" -j "$(nproc)"
ctest --test-dir "$build" --output-on-failure -j "$(nproc)"
