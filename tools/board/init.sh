#!/bin/sh
# The emulated board's start-up (/init of its initramfs) and one phase of the board test,
# named by board.phase= on the kernel command line. It speaks to the host only through the
# console, in lines that start with "BOARD: ":
#   go / done           the action a power cut aims at begins / has ended
#   held NAME / broke NAME [why]   one check
#   value KEY VALUE     a figure the host keeps (and may hand to a later boot as board.KEY=)
#   end                 the flash is unmounted; the host may end QEMU
/bin/busybox --install -s /bin
export PATH=/bin arch=powerpc
# The kernel opens no console for an initramfs without /dev/console.
mount -t devtmpfs dev /dev
exec </dev/console >/dev/console 2>&1
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t debugfs debug /sys/kernel/debug
mkdir -p /ram /flash /rw /tmp
mount -t tmpfs ram /ram

arg() { tr ' ' '\n' </proc/cmdline | sed -n "s/^board\.$1=//p"; }
say() { printf "\nBOARD: %s\n" "$*"; }
check() {
  name=$1
  shift
  if "$@"; then
    say "held $name"
  else
    say "broke $name"
    return 1
  fi
}
digest() { sha256sum | cut -d' ' -f1; }
emulated() { cat "/sys/kernel/debug/powerpc/emulated_instructions/$1"; }

# 64 MiB of flash in 128 KiB erase blocks: UBI formats it on the first attach, with the
# download folder on a volume of its own, as on the router.
flash_up() {
  echo /dev/vda,128KiB >/sys/module/block2mtd/parameters/block2mtd
  ubiattach -m 0 /dev/ubi_ctrl >/dev/null || return 1
  if [ ! -e /dev/ubi0_0 ]; then
    ubimkvol -N download -s 16777216 /dev/ubi0 >/dev/null &&
      ubimkvol -N flash -m /dev/ubi0 >/dev/null || return 1
  fi
  mount -t ubifs ubi0:flash /flash && mount -t ubifs ubi0:download /rw || return 1
  mkdir -p /flash/var/pdb /rw/pckg/.download /rw/board
}

flash_down() {
  sync
  umount /rw
  umount /flash
  ubidetach -d 0 /dev/ubi_ctrl
  say end
  poweroff -f
}

show() { installer --show; }

# What an uninterrupted run leaves: every file and link of both volumes but the post log,
# which keeps what each run said, and the staging directories, checked on their own.
state() {
  find /flash /rw \( -type f -o -type l \) ! -path /flash/postlog ! -path '*/.staging/*' |
    sort | while read -r path; do
      if [ -L "$path" ]; then echo "$path -> $(readlink "$path")"; else sha256sum "$path"; fi
    done
}

no_staged_file() {
  left=$(find /flash /rw /ram -path '*/.staging/*' 2>/dev/null)
  [ -z "$left" ] || echo "left: $left"
  [ -z "$left" ]
}

audit_clean() {
  out=$(vmpkg audit 2>&1)
  status=$?
  echo "$out" | sed 's/^/  audit: /'
  return $status
}

# With the new database, no finding; with the old one, each file of the old version that is
# already new, as changed (a file the old version lacks is none of its business).
audit_only_new_files() {
  vmpkg audit >/tmp/audit 2>&1
  status=$?
  sed '$d' /tmp/audit | sort >/tmp/findings
  # The last line must be the audit's summary, and its status must agree with the findings:
  # an audit that could not run prints neither.
  tail -n 1 /tmp/audit | grep -q ' checked: ' || return 1
  if [ -s /tmp/findings ]; then [ $status != 0 ]; else [ $status = 0 ]; fi || return 1
  if [ "$table" = "$(arg show)" ]; then
    [ ! -s /tmp/findings ]
  else
    sort /tmp/new-files | cmp -s - /tmp/findings
  fi
}

# Each file of the big package, from /expect/big.sums ("path old new", "-" for absent): the
# old or the new version, never a third. Counts what it found in $old_files, $new_files.
# A file that only the old version has is not counted: a package kept as its image has no
# file list in the database, so its upgrade replaces files but removes none.
files_old_or_new() {
  old_files=0 new_files=0 mixed_ok=0
  : >/tmp/new-files
  while read -r path old new; do
    if [ -f "$path" ]; then now=$(sha256sum "$path" | cut -d' ' -f1); else now=-; fi
    if [ "$now" = "$old" ] && { [ "$now" = "$new" ] || [ "$new" = - ]; }; then continue; fi
    if [ "$now" = "$old" ]; then
      old_files=$((old_files + 1))
    elif [ "$now" = "$new" ]; then
      new_files=$((new_files + 1))
      [ "$old" = - ] || echo "changed $path" >>/tmp/new-files
    else
      echo "  third version: $path ($now)"
      mixed_ok=1
    fi
  done </expect/big.sums
  return $mixed_ok
}

# The mfpvr instructions that trapped and that the kernel emulated while "$@" ran, less
# those of starting a program that does nothing (the C library's start-up reads the PVR as
# well) and of reading the count.
mfpvr_traps() {
  before=$(emulated mfpvr)
  "$@" >/dev/null
  after=$(emulated mfpvr)
  busybox true
  echo $((2 * after - before - $(emulated mfpvr)))
}

probes() {
  report=$(probe_report)
  echo "$report"
  traps=$(mfpvr_traps probe_report)
  say "value mfpvr_emulated $traps"
  # The PVR comes from the instruction, which traps in user mode, not from a file.
  check probe-mfpvr-trapped [ "$traps" -gt 0 ]
  field() { echo "$report" | tr ' ' '\n' | sed -n "s/^$1=//p"; }
  kernel_erase=$(cat /sys/class/mtd/mtd0/erasesize)
  kernel_pvr=$(sed -n 's/.*(pvr \([0-9a-f]*\) \([0-9a-f]*\)).*/0x\1\2/p' /proc/cpuinfo)
  say "value erase_size $(field erase_size)"
  say "value pvr $(field pvr)"
  say "value family $(field family)"
  check probe-memgetinfo [ "$(field mtd0_memgetinfo)" = ok ]
  check probe-erase-size [ "$(field erase_size)" = "$kernel_erase" -a "$kernel_erase" = 131072 ]
  check probe-no-large-erase-blocks [ "$(field large_erase_blocks)" = 0 ]
  check probe-pvr-as-kernel [ "$(field pvr)" = "$kernel_pvr" ]
  check probe-pvr-expected [ "$(field pvr)" = "$(arg pvr)" ]
  check probe-family [ "$(field family)" = "$(arg family)" ]
  check probe-no-dev-flash [ ! -e /dev/flash -a "$(field flash_feature)" = absent \
    -a "$(field min_version)" = 0 ]
}

phase=$(arg phase)
if ! flash_up; then
  say "broke flash-mounts"
  say end
  poweroff -f
fi
say "held flash-mounts"
case $phase in
first)
  probes
  cp /pkgs/system-1.vmp /rw/pckg/.download/
  sync
  math_before=$(emulated math)
  runstat installer >/tmp/install.out 2>/tmp/install.err
  status=$?
  say "value install_math_emulated $(($(emulated math) - math_before))"
  sed -n 's/^runstat: \(.*\)/\1/p' /tmp/install.err | tr ' ' '\n' | sed 's/^/BOARD: value install_/; s/=/ /'
  check install-system [ $status = 0 -a -z "$(ls /rw/pckg/.download)" ]
  # The same payload through tar, flushed as the installer flushes.
  mkdir /flash/tartest
  runstat sh -c 'tar -xzf /expect/system-1.tar.gz -C /flash/tartest && sync' 2>/tmp/tar.err
  sed -n 's/^runstat: \(.*\)/\1/p' /tmp/tar.err | tr ' ' '\n' | sed 's/^/BOARD: value tar_/; s/=/ /'
  # The installed files are the package's (the other family's file aside).
  check system-files-in-place sh -c 'cd /flash/tartest && find . -type f ! -name board.family1 |
    { n=0; while read -r f; do cmp -s "$f" "/flash/$f" || exit 1; n=$((n + 1)); done; [ $n -gt 20 ]; }'
  rm -rf /flash/tartest
  check processor-family-files [ -f /flash/etc/board.family2 -a ! -e /flash/etc/board.family1 ]
  check install-bundle-stream installer - </pkgs/netsuite-1.vmp
  show
  say "value show $(show | digest)"
  check audit-first audit_clean
  ;;
second)
  check show-after-reboot [ "$(show | digest)" = "$(arg show)" ]
  cp /pkgs/system-2.vmp /rw/pckg/.download/
  check upgrade-system installer
  check upgrade-system-version sh -c 'installer --show | grep -q "^system  *6.49 "'
  mkdir -p /ram/pdb/dhcp && echo disable >/ram/pdb/dhcp/schedule
  check scheduled-disable installer
  rm -r /ram/pdb/dhcp
  check scheduled-disable-shown sh -c 'installer --show | grep -q "^dhcp  *X"'
  show
  check audit-second audit_clean
  # The state the power cuts start from: big 1.0 installed, big 2.0 downloaded.
  cp /pkgs/big-1.vmp /rw/pckg/.download/
  check install-big installer
  cp /pkgs/big-2.vmp /rw/pckg/.download/
  show >/rw/board/show-before
  ;;
cut-upgrade | cut-commit)
  safe=0
  [ $phase = cut-upgrade ] || installer --safe >/dev/null || safe=$?
  if [ $phase = cut-commit ] && [ "$(arg cut)" != 1 ]; then
    # --safe saved the upgrade for the commit and left the installed files alone.
    files_old_or_new
    check cut-reference-safe-saved [ $? = 0 -a -s /ram/MANIFEST -a $new_files = 0 ]
  fi
  sync
  say go
  if [ $phase = cut-upgrade ]; then installer >/dev/null; else installer --commit >/dev/null; fi
  status=$?
  say "done $status"
  # A cut aimed at the action waits for the power to go.
  [ "$(arg cut)" != 1 ] || sleep 100000
  # The reference must have done the whole upgrade, or the cuts would aim at nothing.
  check cut-reference-status [ $safe = 0 -a $status = 0 ]
  files_old_or_new
  check cut-reference-all-new [ $? = 0 -a $old_files = 0 -a $new_files -gt 40 ]
  check cut-reference-table sh -c 'installer --show | grep -q "^big  *2\.0 "'
  say "value state $(state | digest)"
  say "value show $(show | digest)"
  check cut-reference-audit audit_clean
  ;;
check)
  # What the cut left, before anything runs again.
  files_old_or_new
  check cut-files-old-or-new [ $? = 0 ]
  say "value old_files $old_files"
  say "value new_files $new_files"
  table=$(show | digest)
  if [ "$table" = "$(arg show)" ]; then say "value table new"; else say "value table old"; fi
  check cut-table-old-or-new [ "$table" = "$(digest </rw/board/show-before)" \
    -o "$table" = "$(arg show)" ]
  # The database never tells of files that are not in place.
  check cut-table-matches-flash [ "$table" != "$(arg show)" -o "$old_files" = 0 ]
  # Files are put in place before the database changes: until it does, the audit sees the
  # new files as changed, and nothing else.
  check cut-audit-finds-only-new-files audit_only_new_files
  sed 's/^/  audit: /' /tmp/findings
  say "value audit_findings $(wc -l </tmp/findings)"
  installer >/dev/null
  rerun=$?
  say "value rerun $rerun"
  check rerun-status [ $rerun = 0 ]
  check rerun-converges [ "$(state | digest)" = "$(arg state)" ] || state
  check rerun-table [ "$(show | digest)" = "$(arg show)" ]
  check rerun-no-staged-file no_staged_file
  check rerun-audit audit_clean
  ;;
*)
  say "broke phase-unknown $phase"
  ;;
esac
flash_down
