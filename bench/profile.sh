#!/usr/bin/env bash
# Profiles the installer upgrading from the download folder on each payload of bench/run.sh,
# on a fresh ext4 as the benchmark does, and --show over the benchmark's databases. Writes
# per payload: the system calls by count (strace -c), the flushes with their durations
# (strace -T), the on-CPU profile by library and by function (perf, sampling the CPU clock,
# where perf works), and instruction counts by function (callgrind). Run by hand, as root.
# Usage: bench/profile.sh [--quick] [--payloads small,mixed,large] [--build DIR]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
quick=0 payloads="small mixed large" build="$here/build-bench"
while [ $# -gt 0 ]; do
  case "$1" in
    --quick) quick=1 ;;
    --payloads) payloads=${2//,/ }; shift ;;
    --build) build=$(realpath -m "$2"); shift ;;
    *) sed -n '7s/^# //p' "$0" >&2; exit 2 ;;
  esac
  shift
done
[ "$(id -u)" -eq 0 ] || { echo "bench/profile.sh needs root" >&2; exit 2; }
. "$here/bench/common.sh"
[ "$quick" -eq 1 ] && scale_small=0.25 scale_mixed=0.2 scale_large=0.2
build_programs strace valgrind
out="$work/profile"
mkdir -p "$out"
trap cleanup_fs EXIT
perf_works=0
perf record -q -e cpu-clock -o "$out/probe.data" true >/dev/null 2>&1 && perf_works=1

# A fresh file system with the payload's package in the download folder; echoes the root.
staged_root() {
  fresh_fs
  router_root "$mnt/root"
  cp "$(payload_dir "$1")/payload.vmp" "$mnt/root/rw/pckg/.download/"
  sync
}

for kind in $payloads; do
  echo "profiling $kind" >&2
  prepare_payload "$kind"
  staged_root "$kind"
  strace -f -c -o "$out/syscalls-$kind.txt" "$installer" -r "$mnt/root" >/dev/null
  staged_root "$kind"
  strace -f -T -e trace=sync,syncfs,fsync,fdatasync -o "$out/flushes-$kind.txt" \
    "$installer" -r "$mnt/root" >/dev/null
  if [ "$perf_works" -eq 1 ]; then
    staged_root "$kind"
    perf record -q -e cpu-clock -F 4000 -g -o "$out/perf-$kind.data" \
      "$installer" -r "$mnt/root" >/dev/null 2>&1
    # head ends the pipes early: that is no failure.
    {
      perf report -i "$out/perf-$kind.data" --no-children --stdio -g none --sort dso \
        2>/dev/null | grep '%' | head -12
      echo
      perf report -i "$out/perf-$kind.data" --no-children --stdio -g none --sort dso,sym \
        2>/dev/null | grep '%' | head -30
    } >"$out/perf-$kind.txt" || true
  fi
  # The installer enters its root before callgrind writes, so the file lands inside it.
  staged_root "$kind"
  valgrind --tool=callgrind --vgdb=no --callgrind-out-file=/tmp/callgrind.out \
    "$installer" -r "$mnt/root" >/dev/null 2>"$out/callgrind-$kind.log"
  cp "$mnt/root/tmp/callgrind.out" "$out/callgrind-$kind.out"
  { callgrind_annotate "$out/callgrind-$kind.out" 2>/dev/null | head -60; } \
    >"$out/callgrind-$kind.txt" || true
  { callgrind_annotate --inclusive=yes "$out/callgrind-$kind.out" 2>/dev/null |
    grep "$here" | head -40; } >"$out/callgrind-inclusive-$kind.txt" || true
done
cleanup_fs

for form in text image; do
  if [ -d "$work/db-$form/flash/var/pdb" ]; then
    strace -f -c -o "$out/syscalls-show-$form.txt" "$installer" -r "$work/db-$form" --show \
      >/dev/null
  fi
done
echo "profiles in $out" >&2
