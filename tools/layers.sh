#!/usr/bin/env bash
# Prints the include graph between the source folders, top layer first, and checks it
# against cmake/layers.txt: every arrow must point to a folder listed below its source.
# Exits 1, naming the file, on an include that reaches up or sideways.
# Usage: tools/layers.sh [source-dir]
set -euo pipefail
root=$(cd "${1:-$(dirname "$0")/..}" && pwd)
cd "$root"

declare -A allowed rank
order=()
while IFS= read -r line; do
  line=${line%%#*}
  [[ $line == *:* ]] || continue
  name=${line%%:*}
  allowed[$name]=" ${line#*:} "
  if [[ $name != */test ]]; then
    rank[$name]=${#order[@]}
    order+=("$name")
  fi
done < cmake/layers.txt

status=0
# Each list may only name folders further down the file.
for name in "${order[@]}"; do
  for dep in ${allowed[$name]}; do
    if [[ -z ${rank[$dep]+set} || ${rank[$dep]} -le ${rank[$name]} ]]; then
      echo "cmake/layers.txt: $name may include $dep, which is not below it" >&2
      status=1
    fi
  done
done

declare -A edges
for folder in "${order[@]}"; do
  for file in "$folder"/*.cpp "$folder"/*.h; do
    [[ -e $file ]] || continue
    kind=code
    may=${allowed[$folder]}
    if [[ $file == *_test.cpp ]]; then
      kind=test
      may="$may testing authoring ${allowed[$folder/test]:-} "
    fi
    while IFS= read -r target; do
      [[ $target == "$folder" || -z ${rank[$target]+set} ]] && continue
      key="$kind $folder $target"
      edges[$key]=$(( ${edges[$key]:-0} + 1 ))
      if [[ " $may " != *" $target "* ]]; then
        echo "$file: includes $target/, which $folder/ may not" >&2
        status=1
      fi
    done < <(sed -n 's|^#include "\([a-z_]*\)/.*|\1|p' "$file")
  done
done

for kind in code test; do
  [[ $kind == code ]] && echo "Includes between folders (sources):" || echo "From tests:"
  for folder in "${order[@]}"; do
    arrows=""
    for target in "${order[@]}"; do
      count=${edges["$kind $folder $target"]:-0}
      (( count > 0 )) && arrows+=" $target($count)"
    done
    [[ -n $arrows ]] && printf '  %-12s ->%s\n' "$folder" "$arrows"
  done
done
exit $status
