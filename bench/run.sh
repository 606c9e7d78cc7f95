#!/usr/bin/env bash
# The install benchmark, run by hand as root (loop mounts, chroot): the installer against
# bsdtar, GNU tar and dpkg on the same payloads and fresh ext4 file systems, then the
# micro-benchmarks. Prints one table and writes the same figures as JSON.
# Usage: bench/run.sh [--quick] [--reps N] [--payloads small,mixed,large] [--drop-caches]
#                     [--build DIR] [--json FILE]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
quick=0 reps="" drop_caches=0 payloads="small mixed large"
build="$here/build-bench" json=""
usage() {
  sed -n '5,6s/^# //p' "$0" >&2
  exit 2
}
while [ $# -gt 0 ]; do
  case "$1" in
    --quick) quick=1 ;;
    --reps) [ $# -ge 2 ] || usage; reps=$2; shift ;;
    --payloads) [ $# -ge 2 ] || usage; payloads=${2//,/ }; shift ;;
    --drop-caches) drop_caches=1 ;;
    --build) [ $# -ge 2 ] || usage; build=$(realpath -m "$2"); shift ;;
    --json) [ $# -ge 2 ] || usage; json=$2; shift ;;
    *) usage ;;
  esac
  shift
done
if [ "$(id -u)" -ne 0 ]; then
  echo "bench/run.sh needs root: it mounts loop file systems and the installer uses chroot" >&2
  exit 2
fi
. "$here/bench/common.sh"
if [ "$quick" -eq 1 ]; then
  mode=quick scale_small=0.25 scale_mixed=0.2 scale_large=0.2 stream_mib=16 sig_rounds=400
  show_runs=11 reps=${reps:-1}
else
  mode=full stream_mib=64 sig_rounds=2000 show_runs=21 reps=${reps:-5}
fi
show_packages=500
json=${json:-$work/results.json}
tsv="$work/runs.tsv"
micro="$work/micro.txt"
runs="installer-folder installer-stdin bsdtar bsdtar+sync tar tar+sync dpkg dpkg-unsafe-io"

# --- Programs, file systems, payloads -------------------------------------------------------
build_programs
: >"$tsv"
: >"$micro"
load_before=$(cut -d' ' -f1-3 /proc/loadavg)
started=$(date +%s)
trap cleanup_fs EXIT

payload_record() {
  local kind=$1 dir files bytes
  dir=$(payload_dir "$kind")
  files=$(wc -l <"$dir/sums")
  bytes=$(find "$dir/files" -type f -printf '%s\n' | awk '{sum += $1} END {print sum}')
  printf 'payload\t%s\t%s\t%s\t%s\t%s\t%s\n' "$kind" "$files" "$bytes" \
    "$(stat -c %s "$dir/payload.vmp")" "$(stat -c %s "$dir/payload.deb")" \
    "$(stat -c %s "$dir/payload.tar.gz")" >>"$tsv"
}

# --- One timed run on a fresh file system ---------------------------------------------------
run_case() {
  local kind=$1 run=$2 rep=$3 dir input=/dev/null dest
  dir=$(payload_dir "$kind")
  local log="$work/logs/$kind-$run-$rep.log"
  local cmd=()
  fresh_fs
  case $run in
    installer-folder)
      router_root "$mnt/root"
      cp "$dir/payload.vmp" "$mnt/root/rw/pckg/.download/"
      cmd=("$installer" -r "$mnt/root") dest="$mnt/root/flash" ;;
    installer-stdin)
      router_root "$mnt/root" && mkdir "$mnt/in" && cp "$dir/payload.vmp" "$mnt/in/"
      input="$mnt/in/payload.vmp"
      cmd=("$installer" -r "$mnt/root" -) dest="$mnt/root/flash" ;;
    bsdtar | bsdtar+sync | tar | tar+sync)
      mkdir "$mnt/in" "$mnt/out" && cp "$dir/payload.tar.gz" "$mnt/in/"
      local extract="bsdtar -xf"
      [ "${run%+sync}" = tar ] && extract="tar -xzf"
      local then_sync=""
      [ "${run%+sync}" != "$run" ] && then_sync=' && sync -f "$2"'
      cmd=(sh -c "$extract \"\$1\" -C \"\$2\"$then_sync" sh "$mnt/in/payload.tar.gz" "$mnt/out")
      dest="$mnt/out" ;;
    dpkg | dpkg-unsafe-io)
      dpkg_root "$mnt/root" && mkdir "$mnt/in" && cp "$dir/payload.deb" "$mnt/in/"
      cmd=(dpkg --root="$mnt/root" --log="$mnt/root/var/log/dpkg.log")
      [ "$run" = dpkg-unsafe-io ] && cmd+=(--force-unsafe-io)
      cmd+=(-i "$mnt/in/payload.deb") dest="$mnt/root" ;;
  esac
  sync
  [ "$drop_caches" -eq 1 ] && echo 3 >/proc/sys/vm/drop_caches
  local result
  result=$("$timed" --in "$input" --out "$log" "${cmd[@]}")
  local verified=0
  if [[ $result == *status=0 ]] &&
    (cd "$dest" && sha256sum --quiet --strict -c "$dir/sums") >>"$log" 2>&1; then
    verified=1
  fi
  # wall= maxrss_kib= user= sys= status= become columns.
  printf 'run\t%s\t%s\t%s\t%s\t%s\n' "$kind" "$run" "$rep" \
    "$(sed 's/[a-z_]*=//g; s/ /\t/g' <<<"$result")" "$verified" >>"$tsv"
  printf '  %-6s %-17s #%s  %s %s\n' "$kind" "$run" "$rep" "$result" \
    "$([ $verified -eq 1 ] && echo verified || echo 'NOT VERIFIED: no time')" >&2
}

# --- Micro-benchmarks -----------------------------------------------------------------------
# Median wall time and peak memory of `count` runs of a command.
median_runs() {
  local name=$1 count=$2
  shift 2
  local walls=() rss=() line i
  for ((i = 0; i < count; i++)); do
    line=$("$timed" "$@")
    [[ $line == *status=0 ]] || { echo "$name: run failed: $line" >&2; return 1; }
    walls+=("$(sed 's/.*wall=\([0-9.]*\).*/\1/' <<<"$line")")
    rss+=("$(sed 's/.*maxrss_kib=\([0-9]*\).*/\1/' <<<"$line")")
  done
  local median_wall median_rss
  median_wall=$(printf '%s\n' "${walls[@]}" | sort -g | sed -n "$(((count + 1) / 2))p")
  median_rss=$(printf '%s\n' "${rss[@]}" | sort -g | sed -n "$(((count + 1) / 2))p")
  printf '%s_ms=%.2f\n%s_maxrss_kib=%s\n' "$name" "$(awk "BEGIN{print $median_wall*1000}")" \
    "$name" "$median_rss" >>"$micro"
}

# A router root with `show_packages` packages installed in one run, their database entries
# as text files (form text) or as the kept package files, which an image part makes them
# (form image).
database_root() {
  local form=$1 root="$work/db-$1" packages="$work/db-$1-packages" i name
  if [ ! -f "$packages/done" ] || [ "$vmpkg" -nt "$packages/done" ]; then
    rm -rf "$packages" && mkdir -p "$packages"
    local image=()
    if [ "$form" = image ]; then
      head -c 256 /dev/zero >"$packages/image" && image=(--image "$packages/image")
    fi
    for ((i = 0; i < show_packages; i++)); do
      name=$(printf 'p%03d' "$i")
      mkdir -p "$packages/files/$name/opt/$name"
      echo "file of $name" >"$packages/files/$name/opt/$name/data"
      "$vmpkg" build --name "$name" --version 2.0 --build-time 1765000000 "${image[@]}" \
        --note "package $i" --files "$packages/files/$name" --output "$packages/$name.vmp"
    done
    touch "$packages/done"
  fi
  rm -rf "$root" && router_root "$root"
  cp "$packages"/*.vmp "$root/rw/pckg/.download/"
  local line
  line=$("$timed" --out "$work/logs/db-$form.log" "$installer" -r "$root")
  echo "install_${show_packages}_${form}_s=$(sed 's/.*wall=\([0-9.]*\).*/\1/' <<<"$line")" \
    >>"$micro"
  local installed
  installed=$(find "$root/flash/var/pdb" -mindepth 1 -maxdepth 1 -type d | wc -l)
  [ "$installed" -eq "$show_packages" ] ||
    { echo "database $form: $installed of $show_packages installed" >&2; return 1; }
}

micro_benchmarks() {
  echo "micro: part stream and inflate throughput" >&2
  "$build/bench_stream" "$stream_mib" >>"$micro"
  echo "micro: level-1 check against X25519" >&2
  "$build/bench_signature" "$sig_rounds" | awk -F: '
    /^level-1 check/ {gsub(/[^0-9.]/, "", $2); print "level1_check_us=" $2}
    /^OpenSSL X25519/ {gsub(/[^0-9.]/, "", $2); print "x25519_us=" $2}
    /^ratio/ {gsub(/[^0-9.]/, "", $2); print "level1_x25519_ratio=" $2}' >>"$micro"
  echo "micro: --show over $show_packages packages, start-up" >&2
  for form in text image; do
    database_root "$form"
    median_runs "show_${show_packages}_$form" "$show_runs" "$installer" -r "$work/db-$form" --show
  done
  median_runs process_floor "$show_runs" true
  rm -rf "$work/empty" && router_root "$work/empty"
  median_runs show_empty "$show_runs" "$installer" -r "$work/empty" --show
  median_runs upgrade_empty "$show_runs" "$installer" -r "$work/empty"
}

# --- The runs: every payload, every tool, alternating within each repetition ----------------
for kind in $payloads; do
  scale_var="scale_$kind"
  echo "payload $kind (scale ${!scale_var})" >&2
  prepare_payload "$kind"
  payload_record "$kind"
  for ((rep = 1; rep <= reps; rep++)); do
    for run in $runs; do run_case "$kind" "$run" "$rep"; done
  done
done
cleanup_fs
micro_benchmarks

# --- Table and JSON -------------------------------------------------------------------------
load_after=$(cut -d' ' -f1-3 /proc/loadavg)
elapsed=$(($(date +%s) - started))
cpu=$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')
kernel=$(uname -r) cpus=$(nproc)
export mode reps load_before load_after elapsed drop_caches json cpu kernel cpus loop_dio
awk -f "$here/bench/report.awk" "$tsv" "$micro"
echo "JSON: $json" >&2
