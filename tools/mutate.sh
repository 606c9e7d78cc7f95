#!/usr/bin/env bash
# Mutation testing: plants each fault listed in tools/mutants.txt into the sources, one at
# a time, rebuilds the test program and runs the suite, and tells which faults the suite
# catches. A fault is found by its text, not by file or line, so the table survives moves
# and renumbering; its text must occur exactly once among the non-test C++ sources.
#
#   tools/mutate.sh [--locate] [build-dir]     (from the source root; default build-mutate)
#
# --locate only looks every mutant up. Otherwise the build directory is configured when
# needed, the unmutated suite must pass first, and each mutant then gets one line:
# id, file:line, caught (with the first failing test) / survived / missing / ambiguous /
# nocompile, then "score: CAUGHT/VALID". Build and test logs go to BUILD-DIR/mutate-logs.
# MUTANTS (table), MUTATE_JOBS (parallel tests, 6) and MUTATE_TIMEOUT (seconds per suite
# run, 600) may be set in the environment. The source is restored on any exit.
set -euo pipefail

locate_only=0
if [[ "${1:-}" == "--locate" ]]; then
  locate_only=1
  shift
fi
build_dir="${1:-build-mutate}"
table="${MUTANTS:-tools/mutants.txt}"
jobs="${MUTATE_JOBS:-6}"
limit="${MUTATE_TIMEOUT:-600}"
delimiter=' ||| '

if [[ ! -f CMakeLists.txt || ! -f "$table" ]]; then
  echo "mutate.sh: run from the source root (no CMakeLists.txt or $table here)" >&2
  exit 2
fi

# The non-test C++ sources, searched for every mutant's text.
mapfile -t sources < <(find . \( -path './build*' -o -path ./fuzz -o -path ./bench \
  -o -path ./testing -o -path './.*' \) -prune -o -type f \( -name '*.cpp' -o -name '*.h' \) \
  ! -name '*_test.cpp' -print | sed 's|^\./||' | sort)

pristine_dir="$(mktemp -d)"
mutated_file=""
child=""
restore() {
  if [[ -n "$mutated_file" ]]; then
    # A plain copy (new mtime), so that the next build recompiles the original.
    cat "$pristine_dir/original" > "$mutated_file"
    mutated_file=""
  fi
}
on_exit() {
  local status=$?
  if [[ -n "$child" ]]; then kill -TERM "$child" 2>/dev/null || true; fi
  restore
  rm -rf "$pristine_dir"
  exit "$status"
}
trap on_exit EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# Sets found_file and found_line, or found_state to missing / ambiguous.
locate() {
  local text="$1" counts
  found_file="" found_line="" found_state=""
  counts=$(grep -o -H -F -- "$text" "${sources[@]}" | sed 's/:.*//' | uniq -c || true)
  local total=0 count file
  while read -r count file; do
    [[ -n "$count" ]] || continue
    total=$((total + count))
    found_file="${found_file:+$found_file,}$file"
  done <<< "$counts"
  if ((total == 0)); then
    found_state=missing
  elif ((total > 1)); then
    found_state="ambiguous ($total times)"
    [[ "$found_file" != *,*,*,* ]] || found_file="${found_file%%,*},..."
  else
    found_line=$(grep -n -F -- "$text" "$found_file" | cut -d: -f1)
  fi
}

# Replaces the one occurrence of ORIGINAL in FILE by REPLACEMENT, literally.
apply_mutant() {
  ORIGINAL="$2" REPLACEMENT="$3" perl -0777 -pi -e \
    's/\Q$ENV{ORIGINAL}\E/$ENV{REPLACEMENT}/' "$1"
}

log_dir="$build_dir/mutate-logs"
build() {  # build LOG: the test program (and the installer it starts)
  nice -n 10 cmake --build "$build_dir" --target installer_tests -j "$(nproc)" > "$1" 2>&1
}

# Runs the GoogleTest cases (named Suite.Test; the other CTest checks need a full build),
# stopping at the first failure. Sets suite_state (pass / fail / timeout) and failed_test.
run_suite() {
  local log="$1" status=0
  suite_state=pass failed_test=""
  timeout --kill-after=30 "$limit" nice -n 10 ctest --test-dir "$build_dir" -R '\.' \
    -j "$jobs" --stop-on-failure --output-on-failure > "$log" 2>&1 &
  child=$!
  wait "$child" || status=$?
  child=""
  if ((status == 0)); then return; fi
  failed_test=$(sed -nE 's/^ *[0-9]+\/[0-9]+ Test +#[0-9]+: ([^ ]+) .*\*\*\*(Failed|Timeout|Exception|Not Run).*/\1/p' \
    "$log" | head -n 1)
  if ((status == 124 || status == 137)); then
    suite_state=timeout
  elif grep -qE "^ *[0-9]+/[0-9]+ Test +#[0-9]+: ${failed_test//./\\.} .*\*\*\*Timeout" "$log"; then
    suite_state=timeout
  else
    suite_state=fail
  fi
}

# The table, without comments and blank lines: ids, originals, replacements.
ids=() originals=() replacements=()
while IFS= read -r line || [[ -n "$line" ]]; do
  line="${line%$'\r'}"
  [[ "$line" =~ ^[[:space:]]*(#|$) ]] && continue
  id="${line%%"$delimiter"*}"
  rest="${line#*"$delimiter"}"
  if [[ "$rest" == "$line" || "$rest" != *"$delimiter"* ]]; then
    echo "mutate.sh: malformed line in $table: $line" >&2
    exit 2
  fi
  ids+=("${id//[[:space:]]/}")
  originals+=("${rest%%"$delimiter"*}")
  replacements+=("${rest#*"$delimiter"}")
done < "$table"

if ((locate_only)); then
  for i in "${!ids[@]}"; do
    locate "${originals[$i]}"
    printf '%-22s %-42s %s\n' "${ids[$i]}" "${found_file:--}${found_line:+:$found_line}" \
      "${found_state:-found}"
  done
  exit 0
fi

mkdir -p "$build_dir"
if [[ ! -f "$build_dir/CMakeCache.txt" ]]; then
  nice -n 10 cmake -S . -B "$build_dir" -DINSTALLER_TESTS=ON > "$build_dir/configure.log" 2>&1 ||
    { echo "mutate.sh: configure failed, see $build_dir/configure.log" >&2; exit 1; }
fi
mkdir -p "$log_dir"
start=$SECONDS
if ! build "$log_dir/unmutated-build.log"; then
  echo "mutate.sh: the unmutated tree does not build, see $log_dir/unmutated-build.log" >&2
  exit 1
fi
run_suite "$log_dir/unmutated-test.log"
if [[ "$suite_state" != pass ]]; then
  echo "mutate.sh: the unmutated suite does not pass ($suite_state ${failed_test:-}), see" \
    "$log_dir/unmutated-test.log" >&2
  exit 1
fi
echo "unmutated: build and suite pass ($((SECONDS - start)) s)"

caught=0 valid=0
for i in "${!ids[@]}"; do
  id="${ids[$i]}"
  locate "${originals[$i]}"
  place="${found_file:--}${found_line:+:$found_line}"
  if [[ -n "$found_state" ]]; then
    printf '%-22s %-42s %s\n' "$id" "$place" "$found_state"
    continue
  fi
  mutant_start=$SECONDS
  cp "$found_file" "$pristine_dir/original"
  mutated_file="$found_file"
  apply_mutant "$found_file" "${originals[$i]}" "${replacements[$i]}"
  if ! build "$log_dir/$id-build.log"; then
    restore
    printf '%-22s %-42s %s\n' "$id" "$place" "nocompile (see $log_dir/$id-build.log)"
    continue
  fi
  run_suite "$log_dir/$id-test.log"
  restore
  valid=$((valid + 1))
  case "$suite_state" in
    pass) result="survived" ;;
    timeout) result="caught (timeout) ${failed_test:-}"; caught=$((caught + 1)) ;;
    *) result="caught ${failed_test:-(no test named, see $log_dir/$id-test.log)}"
       caught=$((caught + 1)) ;;
  esac
  printf '%-22s %-42s %s  [%d s]\n' "$id" "$place" "$result" "$((SECONDS - mutant_start))"
done
echo "time: $((SECONDS - start)) s"
echo "score: $caught/$valid"
