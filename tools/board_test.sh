#!/usr/bin/env bash
# The whole system on an emulated router: a 32-bit PowerPC e500 board (QEMU's ppce500) running
# a Linux kernel, its flash an MTD device under UBI and UBIFS, with the static installer,
# real probes, a reboot, and power cuts that lose the kernel's page cache with the machine.
#
# Usage: tools/board_test.sh [build-dir]          (default build-board; about 2 GB)
#
# Everything comes from Debian packages and Debian source packages: the kernel from
# linux-source-6.1 and BusyBox from its source package, both cross-built once and kept in the
# build directory, the installer and vmpkg by tools/cross_test.sh powerpc. Environment:
#   BOARD_SEED          seed of the power cuts' delays (printed; set it to rerun the same cuts)
#   BOARD_CUTS_UPGRADE  cuts during an upgrade of a large package (default 12)
#   BOARD_CUTS_COMMIT   cuts during an --commit of the same upgrade (default 10)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build-board}
mkdir -p "$build"
build=$(cd "$build" && pwd)
board=$here/tools/board
cross=powerpc-linux-gnu-
seed=${BOARD_SEED:-$(od -An -N2 -tu2 /dev/urandom | tr -d ' ')}
cuts_upgrade=${BOARD_CUTS_UPGRADE:-12}
cuts_commit=${BOARD_CUTS_COMMIT:-10}
# An e500v2 core, the routers' processor: no classic FPU, so the kernel emulates the
# floating-point instructions that Debian's compiler emits (e500mc has an FPU, but its PVR
# falls outside every processor family and would not test the family choice).
cpu=e500v2_v22
expected_pvr=0x80210022
expected_family=2
started=$SECONDS

log() { echo "board_test: $*"; }
# A board that cannot boot or run stops the test at once, with what its console said.
qemu=
die() {
  log "$1"
  [ -z "${2:-}" ] || tail -n 20 "$2" | sed 's/^/  console: /'
  sed 's/^/  qemu: /' "$build/qemu.err" 2>/dev/null || true
  exit 1
}
trap '[ -z "$qemu" ] || kill -9 "$qemu" 2>/dev/null || true' EXIT

"$here/tools/install_deps.sh" qemu-system-ppc linux-source-6.1 gcc-powerpc-linux-gnu \
  g++-powerpc-linux-gnu make cmake g++ flex bison bc libssl-dev libelf-dev cpio xz-utils \
  zlib1g-dev dpkg-dev perl

# A kernel for ppce500 trimmed to the test's needs: the fragment over allnoconfig, and
# block2mtd made write-through, so that the disk image behaves as flash does (a write that
# returned is on the device) and a power cut loses only what the kernel had not yet written.
make_kernel() {
  local stamp source=$build/linux-source-6.1
  stamp=$(cat "$board/kernel.config" "$board/block2mtd-write-through.patch" | sha256sum)
  if [ "$(cat "$build/kernel.done" 2>/dev/null)" = "$stamp" ]; then return; fi
  local begun=$SECONDS
  rm -rf "$source" "$build/kernel" "$build/kernel.done"
  tar -xJf /usr/src/linux-source-6.1.tar.xz -C "$build"
  patch -s -d "$source" -p1 <"$board/block2mtd-write-through.patch"
  mkdir -p "$build/kernel"
  make -s -C "$source" O="$build/kernel" ARCH=powerpc CROSS_COMPILE=$cross \
    KCONFIG_ALLCONFIG="$board/kernel.config" allnoconfig
  nice -n 19 make -s -C "$source" O="$build/kernel" ARCH=powerpc CROSS_COMPILE=$cross \
    -j "$(nproc)" vmlinux >"$build/kernel.log" 2>&1
  echo "$stamp" >"$build/kernel.done"
  log "kernel built in $((SECONDS - begun)) s"
}

make_busybox() {
  if [ -f "$build/busybox.done" ]; then return; fi
  local begun=$SECONDS
  rm -rf "$build/busybox-src" "$build/busybox"
  "$here/tools/debian_source.sh" "$build/busybox-src" busybox/bookworm
  local source
  source=$(find "$build/busybox-src" -mindepth 1 -maxdepth 1 -type d -name 'busybox-*' | head -n 1)
  mkdir -p "$build/busybox"
  make -s -C "$source" O="$build/busybox" CROSS_COMPILE=$cross defconfig >/dev/null
  sed -i 's/^# CONFIG_STATIC is not set/CONFIG_STATIC=y/' "$build/busybox/.config"
  (yes "" || true) | make -s -C "$build/busybox" CROSS_COMPILE=$cross oldconfig >/dev/null
  nice -n 19 make -s -C "$build/busybox" CROSS_COMPILE=$cross -j "$(nproc)" busybox \
    >"$build/busybox.log" 2>&1
  touch "$build/busybox.done"
  log "busybox built in $((SECONDS - begun)) s"
}

make_programs() {
  nice -n 19 "$here/tools/cross_test.sh" powerpc "$build/cross" -DINSTALLER_TESTS=OFF \
    -DCMAKE_CXX_COMPILER_LAUNCHER=ccache >"$build/cross.log" 2>&1 ||
    { tail -n 30 "$build/cross.log"; return 1; }
  cmake -S "$here" -B "$build/host" -DINSTALLER_TESTS=OFF \
    -DCMAKE_CXX_COMPILER_LAUNCHER=ccache >/dev/null
  nice -n 19 cmake --build "$build/host" -j "$(nproc)" --target vmpkg >/dev/null
  mkdir -p "$build/tools"
  "${cross}g++" -std=c++17 -Os -static -Wall -Wextra -Werror -I"$here" \
    "$board/probe_report.cpp" "$here/package/board_probe.cpp" \
    "$here/package/processor_version_powerpc.cpp" -o "$build/tools/probe_report"
  "${cross}gcc" -Os -static -Wall -Wextra -Werror "$board/runstat.c" -o "$build/tools/runstat"
}

random_file() { head -c "$2" /dev/urandom >"$1"; }

# The test packages, made with the host's vmpkg (package files are the same everywhere).
make_packages() {
  local work=$build/packages vmpkg=$build/host/vmpkg t=1765000000 i
  rm -rf "$work"
  mkdir -p "$work"/{system-1,system-2,dhcp,dns,big-1,big-2}/etc "$work/expect" "$work/pkgs"
  # A system package of about 1.5 MB: text that compresses, data that does not, and one file
  # for each of two processor families, of which the board must get only its own.
  for v in 1 2; do
    local tree=$work/system-$v
    echo "hostname=router-$v" >"$tree/etc/hostname"
    echo "family 1" >"$tree/etc/board.family1"
    echo "family 2" >"$tree/etc/board.family2"
    mkdir -p "$tree/lib" "$tree/share"
    for i in $(seq 1 8); do random_file "$tree/lib/module$i.so" 98304; done
    for i in $(seq 1 16); do seq 1 $((i * 2000)) | sed "s/^/line $v /" >"$tree/share/text$i"; done
  done
  random_file "$work/kernel" 262144
  "$vmpkg" build --name system --version 6.48.1 --build-time $t --arch powerpc --note "base system" \
    --files "$work/system-1" --processor etc/board.family1=1 --processor etc/board.family2=2 \
    --image "$work/kernel" --output "$work/pkgs/system-1.vmp"
  "$vmpkg" build --name system --version 6.49 --build-time $t --arch powerpc --note "base system" \
    --files "$work/system-2" --processor etc/board.family1=1 --processor etc/board.family2=2 \
    --image "$work/kernel" --output "$work/pkgs/system-2.vmp"
  tar -czf "$work/expect/system-1.tar.gz" -C "$work/system-1" .
  echo "lease=3600" >"$work/dhcp/etc/dhcp.conf"
  echo "upstream=9.9.9.9" >"$work/dns/etc/dns.conf"
  "$vmpkg" build --name dhcp --version 2.5.3 --build-time $t --arch powerpc \
    --depends system,min=6.48 --files "$work/dhcp" --output "$work/dhcp.vmp"
  "$vmpkg" build --name dns --version 1.0rc2 --build-time $t --arch powerpc \
    --files "$work/dns" --output "$work/dns.vmp"
  "$vmpkg" bundle --name netsuite --version 1.2 --build-time $t --note "network services" \
    --output "$work/pkgs/netsuite-1.vmp" "$work/dhcp.vmp" "$work/dns.vmp"
  # The package the power cuts aim at: 3 MB in 48 files; 2.0 changes all but two, drops
  # one and adds one.
  mkdir -p "$work/big-1/big" "$work/big-2/big"
  for i in $(seq 1 48); do random_file "$work/big-1/big/part$i" 65536; done
  for i in $(seq 3 47) 49; do random_file "$work/big-2/big/part$i" 65536; done
  cp "$work/big-1/big/part1" "$work/big-1/big/part2" "$work/big-2/big/"
  echo "big 1" >"$work/big-1/etc/big.conf"
  echo "big 2" >"$work/big-2/etc/big.conf"
  for v in 1 2; do
    "$vmpkg" build --name big --version $v.0 --build-time $t --arch powerpc --note "large" \
      --files "$work/big-$v" --image /dev/null --output "$work/pkgs/big-$v.vmp"
  done
  (cd "$work" && find big-1 big-2 -type f | sed 's,^big-[12]/,,' | sort -u) |
    while read -r path; do
      local old=- new=-
      [ ! -f "$work/big-1/$path" ] || old=$(sha256sum <"$work/big-1/$path" | cut -d' ' -f1)
      [ ! -f "$work/big-2/$path" ] || new=$(sha256sum <"$work/big-2/$path" | cut -d' ' -f1)
      echo "/flash/$path $old $new"
    done >"$work/expect/big.sums"
}

make_initramfs() {
  local root=$build/initramfs
  rm -rf "$root"
  mkdir -p "$root"/{bin,proc,sys,dev,pkgs,expect}
  cp "$build/busybox/busybox" "$build/cross/project/installer" "$build/cross/project/vmpkg" \
    "$build/tools/probe_report" "$build/tools/runstat" "$root/bin/"
  ln -s busybox "$root/bin/sh"
  cp "$board/init.sh" "$root/init"
  cp "$build/packages/pkgs/"*.vmp "$root/pkgs/"
  cp "$build/packages/expect/"* "$root/expect/"
  (cd "$root" && find . | cpio -o -H newc --quiet | gzip -1) >"$build/initramfs.gz"
}

# Boots the board on the flash image $1 for phase $2 with the console in $3; more kernel
# arguments follow. Sets $qemu to QEMU's process id.
boot() {
  local image=$1 phase=$2 console=$3
  shift 3
  : >"$console"
  qemu-system-ppc -M ppce500 -cpu $cpu -m 256 -display none -monitor none -net none -no-reboot \
    -serial "file:$console" -kernel "$build/kernel/vmlinux" -initrd "$build/initramfs.gz" \
    -append "console=ttyS0 quiet board.phase=$phase board.pvr=$expected_pvr board.family=$expected_family $*" \
    -drive "file=$image,if=none,format=raw,id=flash" -device virtio-blk-pci,drive=flash \
    >/dev/null 2>"$build/qemu.err" &
  qemu=$!
  wait_for "$console" '\(held\|broke\) flash-mounts' 300 || die "the board did not boot" "$console"
}

# Waits until the console shows the marker $2 (at most $3 seconds); false when QEMU ended or
# the time ran out first.
wait_for() {
  local console=$1 marker=$2 limit=$3 begun=$SECONDS
  until grep -q "^BOARD: $marker" "$console"; do
    kill -0 "$qemu" 2>/dev/null || grep -q "^BOARD: $marker" "$console" || return 1
    [ $((SECONDS - begun)) -lt "$limit" ] || return 1
    sleep 0.05
  done
}

# Ends the board after its flash is unmounted: power-off ends QEMU; if not, it is killed.
finish() {
  local console=$1 i
  wait_for "$console" end 900 || die "the board did not end in time" "$console"
  for i in $(seq 1 50); do kill -0 "$qemu" 2>/dev/null || break; sleep 0.1; done
  kill -9 "$qemu" 2>/dev/null || true
  wait "$qemu" 2>/dev/null || true
  qemu=
}

value() { sed -n "s/^BOARD: value $2 //p" "$1" | tail -n 1 | tr -d '\r'; }

# Every check line of a console, "phase name held|broke", into the results.
results=$build/results
collect() {
  sed -n 's/^BOARD: \(held\|broke\) \([^ \r]*\).*/\2 \1/p' "$1" | tr -d '\r' |
    sed "s/^/$2 /" >>"$results"
}

run_phase() {
  local phase=$1 image=$2 console=$build/console-$1.txt
  shift 2
  boot "$image" "$phase" "$console" "$@"
  finish "$console"
  collect "$console" "$phase"
}

make_kernel
make_busybox
make_programs
make_packages
make_initramfs
log "ready after $((SECONDS - started)) s: kernel $(stat -c %s "$build/kernel/vmlinux") bytes," \
  "initramfs $(stat -c %s "$build/initramfs.gz") bytes"

: >"$results"
flash=$build/flash.img
# Erased flash reads all ones.
head -c $((64 << 20)) /dev/zero | tr '\0' '\377' >"$flash"
run_phase first "$flash"
# A reboot: a new QEMU on the same flash.
run_phase second "$flash" "board.show=$(value "$build/console-first.txt" show)"
cp "$flash" "$build/before-cut.img"

declare -A ref_state ref_show ref_time
for kind in upgrade commit; do
  cp "$build/before-cut.img" "$flash"
  console=$build/console-reference-$kind.txt
  boot "$flash" "cut-$kind" "$console"
  wait_for "$console" go 600 || die "the board did not begin the $kind" "$console"
  begun=$(date +%s.%N)
  wait_for "$console" "done" 600 || die "the board did not end the $kind" "$console"
  ref_time[$kind]=$(echo "$(date +%s.%N) - $begun" | bc)
  finish "$console"
  collect "$console" "reference-$kind"
  ref_state[$kind]=$(value "$console" state)
  ref_show[$kind]=$(value "$console" show)
  log "uninterrupted $kind: $(printf %.1f "${ref_time[$kind]}") s"
done

log "power cuts: seed $seed (BOARD_SEED=$seed reruns these cuts)"
row_format='%-4s %-8s %7s %6s   %-6s %-5s %4s %4s %6s %6s  %s'
RANDOM=$seed
cut_rows=()
cut=0
for kind in upgrade commit; do
  count=$cuts_upgrade
  [ $kind = upgrade ] || count=$cuts_commit
  during=0
  for _ in $(seq 1 "$count"); do
    cut=$((cut + 1))
    # Uniform over the action's uninterrupted length and a tenth beyond it. $RANDOM is read
    # here, not in the command substitution: bash seeds it afresh in each subshell.
    r=$RANDOM
    delay=$(awk -v r=$r -v t="${ref_time[$kind]}" 'BEGIN { printf "%.2f", r / 32767 * t * 1.1 }')
    cp "$build/before-cut.img" "$flash"
    console=$build/console-cut$cut.txt
    boot "$flash" "cut-$kind" "$console" board.cut=1
    wait_for "$console" go 600 || die "the board did not begin the $kind" "$console"
    sleep "$delay"
    kill -9 "$qemu" || die "the board ended before its cut" "$console"
    wait "$qemu" 2>/dev/null || true
    qemu=
    landed=during
    grep -q '^BOARD: done' "$console" && landed=after
    console=$build/console-check$cut.txt
    run_phase check "$flash" "board.state=${ref_state[$kind]}" "board.show=${ref_show[$kind]}"
    mv "$build/console-check.txt" "$console"
    broke=$(awk -v c="$cut" '$1 == "check" && $3 == "broke" { n++ } END { print n + 0 }' "$results")
    sed -i "s/^check /cut$cut /" "$results"
    # shellcheck disable=SC2059
    cut_rows+=("$(printf "$row_format" "$cut" "$kind" "$delay" \
      "$(printf %.1f "${ref_time[$kind]}")" "$landed" "$(value "$console" table)" \
      "$(value "$console" old_files)" "$(value "$console" new_files)" \
      "$(value "$console" audit_findings)" "$(value "$console" rerun)" \
      "$([ "$broke" = 0 ] && echo held || echo "BROKE $broke")")")
    log "cut $cut ($kind after $delay s): $landed; ${cut_rows[-1]##* }"
    [ $landed = after ] || during=$((during + 1))
  done
  # Cuts that all land after the action would test nothing.
  echo "cuts $kind-cut-during-action $([ "$during" -gt 0 ] && echo held || echo broke)" >>"$results"
done

first=$build/console-first.txt
install_s=$(value "$first" install_seconds)
tar_s=$(value "$first" tar_seconds)
install_kib=$(value "$first" install_max_rss_kib)
tar_kib=$(value "$first" tar_max_rss_kib)
echo
echo "Board: QEMU $(qemu-system-ppc --version | sed -n 's/.*version \([^ ]*\).*/\1/p') ppce500," \
  "cpu $cpu, Linux $(make -s -C "$build/linux-source-6.1" kernelversion)," \
  "flash 64 MiB block2mtd, 128 KiB erase blocks, UBI + UBIFS"
echo "Probes: MEMGETINFO erase size $(value "$first" erase_size), PVR $(value "$first" pvr)," \
  "family $(value "$first" family); the probes' mfpvr trapped, the kernel emulated it" \
  "$(value "$first" mfpvr_emulated) times"
echo
# shellcheck disable=SC2059
printf "$row_format\n" cut kind delay of landed table old new audit rerun checks
printf '%s\n' "${cut_rows[@]}"
echo "(delay: from the start of the action to the cut, of its uninterrupted length; landed:"
echo " during it or after its end; table: the package table after the cut; old/new: big's"
echo " files found in each version;"
echo " audit: vmpkg audit's findings before the rerun, each a file already new while the"
echo " database still tells of the old version; rerun: the rerun's exit status)"
echo
printf '%-18s %-36s %s\n' phase check result
awk '{ key = ($1 ~ /^cut[0-9]/ ? "cuts" : $1) " " $2; total[key]++; if ($3 == "held") ok[key]++
       if (!(key in seen)) { seen[key] = 1; order[++n] = key } }
     END { for (i = 1; i <= n; i++) { split(order[i], k, " ")
             printf "%-18s %-36s %s\n", k[1], k[2],
               (ok[order[i]] == total[order[i]] ? "held" : "BROKE") " " ok[order[i]] + 0 "/" total[order[i]] } }' \
  "$results"
echo
echo "Figure (system package, $(stat -c %s "$build/packages/pkgs/system-1.vmp") bytes):" \
  "install $install_s s, peak memory $install_kib KiB;" \
  "tar -xzf of the same payload and sync $tar_s s, $tar_kib KiB: ratios" \
  "$(echo "scale=2; $install_s / $tar_s" | bc) in time," \
  "$(echo "scale=2; $install_kib / $tar_kib" | bc) in memory; the kernel emulated" \
  "$(value "$first" install_math_emulated) floating-point instructions of the install"
echo "seed $seed; whole run $((SECONDS - started)) s"
if grep -q ' broke$' "$results"; then
  log "some checks broke (consoles in $build)"
  exit 1
fi
log "every check held"
