#!/usr/bin/env bash
# Runs the example of a manual page's EXAMPLES section and fails when a command fails or its
# standard output differs from what the page shows. Lines starting with "$ " are commands (a line
# ending in "\" goes on on the next); the lines after one are its output.
#   tools/man_example.sh PROGRAM-DIR PAGE
set -euo pipefail
bin_dir=$(cd "$1" && pwd)
page=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The example's lines, with the roff escapes it uses turned back into what a user types.
sed -n '/^\.SH EXAMPLES/,/^\.SH /p' "$page" | sed -n '/^\.EX/,/^\.EE/p' | sed '/^\.E[XE]/d' |
  sed -e 's/\\(aq/'"'"'/g' -e 's/\\-/-/g' -e 's/\\e/\\/g' > "$work/example"

commands=() outputs=() command="" continued=0
while IFS= read -r line; do
  if ((continued)); then
    command+=$'\n'"$line"
  elif [[ $line == '$ '* ]]; then
    [[ -n $command ]] && commands+=("$command") && outputs+=("${output:-}")
    command=${line#\$ } output=""
  else
    output+="$line"$'\n'
  fi
  [[ $line == *\\ ]] && continued=1 || continued=0
done < "$work/example"
[[ -n $command ]] && commands+=("$command") && outputs+=("${output:-}")
((${#commands[@]} > 0)) || { echo "no example in $page" >&2; exit 1; }

mkdir "$work/run"
failed=0
for i in "${!commands[@]}"; do
  status=0
  got=$(cd "$work/run" && PATH="$bin_dir:$PATH" bash -c "${commands[$i]}" 2>"$work/err") ||
    status=$?
  if ((status != 0)) || [[ "$got" != "${outputs[$i]%$'\n'}" ]]; then
    echo "\$ ${commands[$i]}   (status $status)"
    cat "$work/err"
    diff <(printf '%s\n' "${outputs[$i]%$'\n'}") <(printf '%s\n' "$got") || true
    failed=1
  fi
done
exit $failed
