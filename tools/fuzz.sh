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
CC=clang CXX=clang++ cmake -S "$here" -B "$build" -DINSTALLER_FUZZ=ON -DINSTALLER_TESTS=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc)" >/dev/null

seeds=$(mktemp -d)
trap 'rm -rf "$seeds"' EXIT
"$build/make_seeds" "$seeds"
failed=0
for target in "${targets[@]}"; do
  run="$build/fuzz-runs/$target"
  root="$run/root"
  rm -rf "$root"
  mkdir -p "$root"/{flash,ram,rw,tmp,proc,corpus,artifacts} "$run/corpus" "$run/artifacts"
  # The corpus grows across runs: what earlier runs found is the next run's start.
  cp -r "$seeds/$target/." "$run/corpus/"
  cp -r "$run/corpus/." "$root/corpus/"
  echo "== $target: $seconds s"
  # Paths the fuzzer is given resolve inside the root it enters.
  if FUZZ_ROOT="$root" "$build/${target}_fuzz" -max_total_time="$seconds" -timeout=20 \
      -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix=/artifacts/ /corpus \
      >"$run/log" 2>&1; then
    grep -E '^stat::number_of_executed_units|^stat::peak_rss_mb' "$run/log" | sed 's/^/   /'
  else
    failed=1
    tail -n 40 "$run/log"
  fi
  cp -r "$root/corpus/." "$run/corpus/"
  cp -r "$root/artifacts/." "$run/artifacts/" 2>/dev/null || true
done
exit $failed
