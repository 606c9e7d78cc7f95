#!/usr/bin/env bash
# Compiles the board probes, the PowerPC processor register among them, with Debian's cross
# compiler, which CI installs when it can; without one the check is skipped with a message.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
compiler=powerpc-linux-gnu-g++
if ! command -v "$compiler" >/dev/null; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  { $sudo apt-get update -qq && DEBIAN_FRONTEND=noninteractive \
      $sudo apt-get install -y -qq g++-powerpc-linux-gnu; } >/dev/null 2>&1 || true
fi
if ! command -v "$compiler" >/dev/null; then
  echo "skipped: $compiler is missing and could not be installed"
  exit 0
fi
for source in package/processor_version_powerpc.cpp package/board_probe.cpp; do
  "$compiler" -std=c++17 -Wall -Wextra -Werror -I"$here" -c "$here/$source" -o /dev/null
  echo "$source compiles for PowerPC"
done
