#!/usr/bin/env bash
# Hostile bundles of a few MB (bench/hostile_main.cpp lists the shapes) fed to the installer
# on standard input, each into a router root on a fresh ext4 file system: the time and the
# peak memory of each run, and whether it installed (status 0) or refused. Run by hand as
# root (the installer enters the root with chroot); never a timed test. The aim: each run
# within 1 s and 16 MiB.
# Usage: bench/hostile.sh [--build DIR] [--keys DIR]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build="$here/build-bench" keys="$here/keys/dev"
while [ $# -gt 0 ]; do
  case "$1" in
    --build) build=$(realpath -m "$2"); shift ;;
    --keys) keys=$(realpath -m "$2"); shift ;;
    *) sed -n '7s/^# //p' "$0" >&2; exit 2 ;;
  esac
  shift
done
if [ "$(id -u)" -ne 0 ]; then
  echo "bench/hostile.sh needs root: the installer uses chroot" >&2
  exit 2
fi
cmake -S "$here" -B "$build" -DINSTALLER_TESTS=OFF -DINSTALLER_KEYS="$keys" >/dev/null
cmake --build "$build" -j "$(nproc)" --target installer bench_timed_run bench_hostile >/dev/null
. "$here/bench/common.sh"
mkdir -p "$work/logs" "$mnt" "$work/hostile"
trap cleanup_fs EXIT
"$build/bench_hostile" "$keys" "$work/hostile"
printf '%-16s %8s %7s %8s %10s\n' shape MB status wall_s peak_MiB
for file in "$work"/hostile/*.vmp; do
  fresh_fs
  router_root "$mnt/root"
  line=$("$build/bench_timed_run" --in "$file" "$build/installer" -q -r "$mnt/root" -)
  wall=$(sed 's/.*wall=\([^ ]*\).*/\1/' <<<"$line")
  rss=$(sed 's/.*maxrss_kib=\([^ ]*\).*/\1/' <<<"$line")
  status=$(sed 's/.*status=\([^ ]*\).*/\1/' <<<"$line")
  printf '%-16s %8.1f %7s %8.3f %10.1f\n' "$(basename "$file" .vmp)" \
    "$(echo "$(stat -c %s "$file") / 1048576" | bc -l)" "$status" "$wall" \
    "$(echo "$rss / 1024" | bc -l)"
done
