#!/usr/bin/env bash
# Lays out a sample router root in the build directory and runs the installer on it.
# Usage: tools/demo.sh <build-dir>
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
root="$build/demo-root"
rm -rf "$root"
mkdir -p "$root"/{flash/var/pdb,ram/pdb,rw/pckg/.download,tmp}

# The installer changes its root with chroot, which needs root or a user namespace.
run() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else unshare --map-root-user "$@"; fi
}
echo "== installer -r $root --show"
run "$build/installer" -r "$root" --show
