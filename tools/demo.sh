#!/usr/bin/env bash
# Lays out a sample router root in the build directory, with packages installed in both
# database forms, and runs the installer on it.
# Usage: tools/demo.sh <build-dir>
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
root="$build/demo-root"
work="$build/demo-packages"
vmpkg="$build/vmpkg"
rm -rf "$root" "$work"
mkdir -p "$root"/{flash/var/pdb,ram/pdb,rw/pckg/.download,tmp} "$work"/tree/{bin,etc}

# Sample package files, signed with the key set the tools were built with.
echo "#!/bin/sh" > "$work/tree/bin/hello" && chmod 755 "$work/tree/bin/hello"
echo "greeting=hi" > "$work/tree/etc/hello.conf"
built=1765000000
"$vmpkg" build --name system --version 6.48.1 --build-time $built --note "base system" \
  --files "$work/tree" --output "$work/system.vmp" >/dev/null
"$vmpkg" build --name dhcp --version 2.5.3 --build-time $built --depends system,min=6.48 \
  --output "$work/dhcp.vmp" >/dev/null
"$vmpkg" build --name dns --version 1.0rc2 --build-time $built --provides resolver,weight=1 \
  --output "$work/dns.vmp" >/dev/null
"$vmpkg" bundle --name netsuite --version 1.2 --build-time $built --note "network services" \
  --output "$work/netsuite.vmp" "$work/dhcp.vmp" "$work/dns.vmp" >/dev/null

# Image form: the package file kept whole as the database entry's image; a bundle gives
# one record per member and one for itself.
pdb="$root/flash/var/pdb"
mkdir -p "$pdb/system" "$pdb/netsuite"
cp "$work/system.vmp" "$pdb/system/image"
cp "$work/netsuite.vmp" "$pdb/netsuite/image"

# Text form, disabled by the user.
mkdir -p "$pdb/wifi"
printf '%s %s\n' $((0x03146302)) $built > "$pdb/wifi/version"
printf 'system %s 0\n' $((0x06306600)) > "$pdb/wifi/deps"
printf 'x/wifi/bin/wifid\n' > "$pdb/wifi/files"
echo "user" > "$pdb/wifi/disabled"

# The installer changes its root with chroot, which needs root or a user namespace.
run() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else unshare --map-root-user "$@"; fi
}
echo "== sample package, as the package tool sees it"
"$vmpkg" inspect "$work/dhcp.vmp"
echo
echo "== installer -r $root --show"
run "$build/installer" -r "$root" --show
