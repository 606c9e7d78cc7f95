#!/usr/bin/env bash
# The installer's main job, told as a short story on a sample router root: packages are
# built and signed, dropped into the download folder, installed, one more arrives on
# standard input, and a scheduled disable takes effect.
# Usage: tools/demo.sh [build-dir]   (installs what it needs, builds only the two programs)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build}
if [ -z "${DEMO_BUILT:-}" ]; then
  "$here/tools/install_deps.sh" cmake g++ make zlib1g-dev libssl-dev
  cmake -S "$here" -B "$build" -DINSTALLER_TESTS=OFF >/dev/null
  cmake --build "$build" -j "$(nproc)" --target installer vmpkg >/dev/null
fi
build=$(cd "$build" && pwd)
root="$build/demo-root"
work="$build/demo-packages"
vmpkg="$build/vmpkg"
rm -rf "$root" "$work"
mkdir -p "$root"/{flash/var/pdb,ram,rw/pckg/.download,tmp} "$work"/{system,dhcp,dns,clock}/etc

# The installer enters the root with chroot: that needs root, or a user namespace.
installer() {
  if [ "$(id -u)" -eq 0 ]; then "$build/installer" -r "$root" "$@"
  else unshare --map-root-user "$build/installer" -r "$root" "$@"; fi
}
say() { printf '\n\033[1m%s\033[0m\n' "$*"; }
built=1765000000

say "1. A router with an empty flash, at $root."
say "2. The vendor builds and signs four packages and a bundle of two of them with vmpkg"
say "   (signed with the development keys the installer was built with):"
echo "hostname=router" > "$work/system/etc/hostname"
echo "lease=3600" > "$work/dhcp/etc/dhcp.conf"
echo "upstream=9.9.9.9" > "$work/dns/etc/dns.conf"
echo "server=pool.ntp.org" > "$work/clock/etc/ntp.conf"
head -c 200000 /dev/urandom > "$work/kernel"
"$vmpkg" build --name system --version 6.48.1 --build-time $built --note "base system" \
  --files "$work/system" --image "$work/kernel" --output "$work/system.vmp"
"$vmpkg" build --name dhcp --version 2.5.3 --build-time $built --depends system,min=6.48 \
  --files "$work/dhcp" --output "$work/dhcp.vmp"
"$vmpkg" build --name dns --version 1.0rc2 --build-time $built --provides resolver,weight=1 \
  --files "$work/dns" --output "$work/dns.vmp"
"$vmpkg" bundle --name netsuite --version 1.2 --build-time $built --note "network services" \
  --output "$work/netsuite.vmp" "$work/dhcp.vmp" "$work/dns.vmp"
"$vmpkg" build --name clock --version 1.0 --build-time $built --depends resolver \
  --files "$work/clock" --output "$work/clock.vmp"
ls -l "$work"/*.vmp | awk '{print "   " $5 " bytes  " $9}'

say "3. The system package and the network bundle are downloaded to the router:"
cp "$work/system.vmp" "$work/netsuite.vmp" "$root/rw/pckg/.download/"
ls "$root/rw/pckg/.download/" | sed 's/^/   /'

say "4. installer -r ROOT --dry-run  (checks and plans everything, says what it would do,
   writes nothing):"
installer --dry-run
(cd "$root/flash" && find . -type f | wc -l | sed 's/^/   files on the flash: /')

say "5. installer -r ROOT  (checks every signature, installs, keeps images, commits):"
installer
say "   The flash now holds their files and the database (var/pdb): the system package and
   the bundle kept whole as their images, text records for the members. PCKGS_CHANGED
   tells the system something changed; postlog keeps what the installer said:"
(cd "$root/flash" && find . -type f | sort | sed 's/^/   /')

say "6. installer -r ROOT --show"
installer --show

say "7. One more package arrives on standard input: installer -r ROOT - < clock.vmp"
installer - < "$work/clock.vmp"

say "8. Another program asks, through /ram/pdb/clock/schedule, to disable clock; the next run
   does it (X in the table). Disabling dns instead would be refused: clock needs it."
mkdir -p "$root/ram/pdb/clock" && echo disable > "$root/ram/pdb/clock/schedule"
installer
rm -r "$root/ram/pdb/clock"
installer --show
say "   The post log keeps what the installing runs said: $root/flash/postlog"
sed 's/^/   /' "$root/flash/postlog"

say "9. vmpkg audit compares the flash with the images the database keeps. All is well,"
say "   until somebody edits a file of the system package:"
"$vmpkg" audit --root "$root" | sed 's/^/   /'
echo "hostname=evil" > "$root/flash/etc/hostname"
"$vmpkg" audit --root "$root" | sed 's/^/   /' || true
