#!/usr/bin/env bash
# Builds the fuzz targets with clang (ASan, UBSan, libFuzzer) and runs each for a while in a
# throwaway root, starting from seeds the package writer makes. Exits 1 when a target found
# a crash; its input is kept under BUILD/fuzz-runs/TARGET/artifacts.
# Usage: tools/fuzz.sh [seconds per target, default 30] [target...]
#   targets: package_file install archive manifest database (default: all)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-30}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(package_file install archive manifest database)
build=${FUZZ_BUILD:-$here/build-fuzz}

"$here/tools/install_deps.sh" cmake make clang libclang-rt-14-dev zlib1g-dev libssl-dev
# A build directory already configured for fuzzing (CI's sanitizer build) is used as it is.
if ! grep -q '^INSTALLER_FUZZ:BOOL=ON' "$build/CMakeCache.txt" 2>/dev/null; then
  CC=clang CXX=clang++ cmake -S "$here" -B "$build" -DINSTALLER_FUZZ=ON -DINSTALLER_TESTS=OFF \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build" -j "$(nproc)" >/dev/null

seeds=$(mktemp -d)
trap 'rm -rf "$seeds"' EXIT
"$build/make_seeds" "$seeds"
# One target per processor at a time.
fuzz_one() {
  local target=$1 run="$build/fuzz-runs/$1" root="$build/fuzz-runs/$1/root"
  rm -rf "$root"
  mkdir -p "$root"/{flash,ram,rw,tmp,proc,corpus,artifacts} "$run/corpus" "$run/artifacts"
  # The corpus grows across runs: what earlier runs found is the next run's start.
  cp -r "$seeds/$target/." "$run/corpus/"
  cp -r "$run/corpus/." "$root/corpus/"
  # Paths the fuzzer is given resolve inside the root it enters.
  local status=0
  FUZZ_ROOT="$root" "$build/${target}_fuzz" -max_total_time="$seconds" -timeout=20 \
    -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix=/artifacts/ /corpus \
    >"$run/log" 2>&1 || status=$?
  cp -r "$root/corpus/." "$run/corpus/"
  cp -r "$root/artifacts/." "$run/artifacts/" 2>/dev/null || true
  return $status
}

failed=0
jobs=$(nproc)
pending=("${targets[@]}")
while [ ${#pending[@]} -gt 0 ]; do
  batch=("${pending[@]:0:$jobs}")
  pending=("${pending[@]:$jobs}")
  pids=()
  for target in "${batch[@]}"; do
    echo "== $target: $seconds s"
    fuzz_one "$target" & pids+=($!)
  done
  for i in "${!batch[@]}"; do
    target=${batch[$i]}
    if wait "${pids[$i]}"; then
      grep -E '^stat::number_of_executed_units|^stat::peak_rss_mb' \
        "$build/fuzz-runs/$target/log" | sed "s/^/   $target /"
    else
      failed=1
      echo "== $target found a crash:"
      tail -n 40 "$build/fuzz-runs/$target/log"
    fi
  done
done
exit $failed
