# Shared by bench/run.sh and bench/profile.sh, sourced once `here` (the repository) and
# `build` (the build folder) are set: the programs, the payloads and their packages, and the
# fresh ext4 file system each run gets.
work="$build/bench"
mnt="$work/mnt"
installer="$build/installer" vmpkg="$build/vmpkg" timed="$build/bench_timed_run"
scale_small=1 scale_mixed=1 scale_large=1

build_programs() {
  "$here/tools/install_deps.sh" cmake g++ make zlib1g-dev libssl-dev libarchive-tools tar gzip \
    dpkg e2fsprogs mount coreutils "$@"
  cmake -S "$here" -B "$build" -DINSTALLER_TESTS=OFF >/dev/null
  cmake --build "$build" -j "$(nproc)" --target installer vmpkg bench_signature \
    bench_timed_run bench_payload bench_stream >/dev/null
  mkdir -p "$work/logs" "$mnt"
}

# --- The file system: a new ext4 for every run, on a loop device --------------------------
loops=() images=()
cleanup_fs() {
  if mountpoint -q "$mnt"; then umount "$mnt"; fi
  local device
  for device in "${loops[@]}"; do losetup -d "$device" 2>/dev/null || true; done
  rm -f "${images[@]}"
  loops=() images=()
}
# Direct I/O keeps the backing file's page cache out of the way where the kernel allows it.
new_loop() {
  local file="$work/fs-${#images[@]}.img"
  rm -f "$file" && truncate -s 768M "$file"
  images+=("$file")
  loop=$(losetup -f --show --direct-io=on "$file" 2>/dev/null) || loop=$(losetup -f --show "$file")
  loops+=("$loop")
  loop_dio=$(cat "/sys/block/$(basename "$loop")/loop/dio" 2>/dev/null || echo unknown)
}
fresh_fs() {
  [ ${#loops[@]} -gt 0 ] || new_loop
  if mountpoint -q "$mnt"; then umount "$mnt"; fi
  # Initialised in full now, so that no background thread writes during the run. Something
  # outside this script may hold the device for a moment after the unmount: wait, and take a
  # new device if it stays held.
  local try made=0
  for try in 1 2 3 4 5 6 7 8 9 10; do
    if mkfs.ext4 -q -F -E lazy_itable_init=0,lazy_journal_init=0 "$loop" 2>>"$work/logs/mkfs.log"
    then
      made=1 && break
    fi
    sleep 0.2
  done
  if [ "$made" -eq 0 ]; then
    losetup -d "$loop" || true
    new_loop
    mkfs.ext4 -q -F -E lazy_itable_init=0,lazy_journal_init=0 "$loop"
  fi
  mount "$loop" "$mnt"
}
router_root() { mkdir -p "$1"/{flash/var/pdb,ram,rw/pckg/.download,tmp}; }
dpkg_root() {
  mkdir -p "$1"/var/lib/dpkg/{info,updates,triggers} "$1"/var/log
  touch "$1"/var/lib/dpkg/{status,available}
}

# --- Payloads and their packages: built once, rebuilt when the package tool changes --------
payload_dir() {
  local scale_var="scale_$1"
  echo "$work/$1-x${!scale_var}"
}
prepare_payload() {
  local kind=$1 dir scale_var="scale_$1"
  local scale=${!scale_var}
  dir=$(payload_dir "$kind")
  if [ ! -f "$dir/payload.done" ]; then
    rm -rf "$dir" && mkdir -p "$dir"
    "$build/bench_payload" "$kind" "$dir/files" --scale "$scale"
    (cd "$dir/files" && find . -type f -printf '%P\n' | LC_ALL=C sort |
      xargs -d '\n' sha256sum) >"$dir/sums"
    touch "$dir/payload.done"
  fi
  if [ ! -f "$dir/packages.done" ] || [ "$vmpkg" -nt "$dir/packages.done" ]; then
    "$vmpkg" build --name payload --version 7.16 --build-time 1765000000 \
      --files "$dir/files" --output "$dir/payload.vmp"
    rm -rf "$dir/deb" && mkdir -p "$dir/deb/DEBIAN" && cp -al "$dir/files/." "$dir/deb/"
    printf '%s\n' "Package: payload" "Version: 7.16" "Architecture: all" \
      "Maintainer: bench <bench@localhost>" "Description: benchmark payload" \
      >"$dir/deb/DEBIAN/control"
    dpkg-deb --root-owner-group -Zgzip -z6 --build "$dir/deb" "$dir/payload.deb" >/dev/null
    tar -C "$dir/files" --owner=0 --group=0 -cf - opt | gzip -6 >"$dir/payload.tar.gz"
    touch "$dir/packages.done"
  fi
}
