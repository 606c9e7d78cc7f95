#!/usr/bin/env bash
# Fetches and unpacks Debian source packages into a directory with apt-get source, through
# deb-src twins of this machine's Debian package sources whose lists and cache are kept
# under DIR/apt, so the machine's own apt configuration is not changed.
#
# Usage: tools/debian_source.sh DIR PACKAGE...   (e.g. zlib/bookworm)
set -euo pipefail
dest=$1
shift
mkdir -p "$dest"
dest=$(cd "$dest" && pwd)
apt_root=$dest/apt

# The files land in a directory apt's download user may not reach, so apt downloads as
# ourselves.
source_apt() {
  apt-get -o Dir::Etc::SourceList="$apt_root/sources.list" \
    -o Dir::Etc::SourceParts="$apt_root/sources.list.d" \
    -o Dir::State::Lists="$apt_root/lists" -o Dir::Cache="$apt_root/cache" \
    -o APT::Sandbox::User="$(id -un)" "$@"
}

rm -rf "$apt_root"
mkdir -p "$apt_root/lists/partial" "$apt_root/cache/archives/partial" \
  "$apt_root/sources.list.d"
: >"$apt_root/sources.list"
for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
  [ -f "$file" ] || continue
  sed -n 's/^deb \(.*debian.*\)/deb-src \1/p' "$file" >>"$apt_root/sources.list"
done
for file in /etc/apt/sources.list.d/*.sources; do
  [ -f "$file" ] && grep -q 'debian-archive-keyring' "$file" || continue
  sed 's/^Types:.*/Types: deb-src/' "$file" >"$apt_root/sources.list.d/${file##*/}"
done
source_apt update -qq
(cd "$dest" && source_apt source -qq "$@" >/dev/null)
