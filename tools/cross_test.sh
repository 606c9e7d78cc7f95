#!/usr/bin/env bash
# Builds the project and its test suite for another processor with Debian's cross compilers
# and runs the suite under qemu-user.
#
# Usage: tools/cross_test.sh s390x|i386|powerpc [build-dir] [extra cmake options...]
#
#   s390x    big-endian, 64-bit; libraries from a Debian sysroot (mmdebstrap)
#   i386     little-endian, 32-bit; libraries from a Debian sysroot (mmdebstrap)
#   powerpc  the routers' 32-bit big-endian processor; zlib, libcrypto and GoogleTest are
#            cross-built statically from Debian's sources, and installer and vmpkg are linked
#            static (INSTALLER_STATIC)
#
# The build directory (default build-<target>) keeps the sysroot or the cross-built libraries,
# so a second run only rebuilds the project. Environment:
#   CROSS_TEST_EXCLUDE  ctest -E pattern of tests left out under emulation; by default the
#                       tests whose suite or name starts with "Slow"
#   QEMU_CPU            the processor qemu emulates (qemu-user reads it), e.g. e300c3
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
target=${1:-}
shift || true
case "$target" in
  s390x) triplet=s390x-linux-gnu; debian_arch=s390x ;;
  i386) triplet=i686-linux-gnu; debian_arch=i386 ;;
  powerpc) triplet=powerpc-linux-gnu; debian_arch="" ;;
  *)
    echo "usage: tools/cross_test.sh s390x|i386|powerpc [build-dir] [cmake options...]" >&2
    exit 2
    ;;
esac
build=${1:-build-$target}
shift || true
mkdir -p "$build"
build=$(cd "$build" && pwd)
jobs=$(nproc)
exclude=${CROSS_TEST_EXCLUDE-'(^|\.)Slow'}

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"

install_missing() {
  local needed=() package
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
      needed+=("$package")
  done
  if [ ${#needed[@]} -gt 0 ]; then
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends \
      "${needed[@]}"
  fi
}

# The target's -dev packages unpacked into a tree, with what they need; nothing is run.
make_sysroot() {
  local sysroot=$build/sysroot
  local packages=libc6-dev,libstdc++-12-dev,libssl-dev,zlib1g-dev,libgtest-dev
  if [ "$(cat "$sysroot.done" 2>/dev/null)" = "$packages" ]; then return; fi
  rm -rf "$sysroot" "$sysroot.done"
  local started=$SECONDS
  $sudo mmdebstrap --quiet --variant=extract --architectures="$debian_arch" \
    --include="$packages" bookworm "$sysroot"
  [ -z "$sudo" ] || $sudo chown -R "$(id -u):$(id -g)" "$sysroot"
  echo "$packages" >"$sysroot.done"
  echo "cross_test: sysroot for $debian_arch in $((SECONDS - started)) s"
}

# zlib, libcrypto and GoogleTest for PowerPC, static, in $build/deps/prefix.
make_powerpc_deps() {
  local deps=$build/deps prefix=$build/deps/prefix
  if [ -f "$deps/done" ]; then return; fi
  rm -rf "$deps"
  mkdir -p "$deps/src" "$prefix/lib" "$prefix/include"
  local started=$SECONDS
  # The release's own sources, which every mirror of the release carries.
  "$here/tools/debian_source.sh" "$deps/src" zlib/bookworm openssl/bookworm
  echo "cross_test: Debian sources fetched in $((SECONDS - started)) s"

  local zlib openssl
  zlib=$(find "$deps/src" -maxdepth 1 -type d -name 'zlib-*' | head -n 1)
  openssl=$(find "$deps/src" -maxdepth 1 -type d -name 'openssl-*' | head -n 1)
  (cd "$zlib" && CHOST=$triplet ./configure --static --prefix="$prefix" >/dev/null &&
    make -s -j "$jobs" libz.a && make -s install >/dev/null)
  # The installer needs only SHA-1, SHA-256, Ed25519 and X25519 (and the tests big numbers
  # and curves); what else can go is left out, as are error texts, threads, sockets and
  # unwind tables, so that the static program stays small.
  local trimmed=(no-shared no-tests no-engine no-dso no-async no-sock no-threads no-err
    no-filenames no-autoload-config no-deprecated no-legacy no-ui-console no-secure-memory
    no-multiblock no-aria no-bf no-blake2 no-camellia no-cast no-chacha no-cmac no-cms no-cmp
    no-comp no-ct no-des no-dh no-dsa no-ec2m no-ecdh no-ecdsa no-gost no-idea no-md4 no-mdc2
    no-ocb no-ocsp no-poly1305 no-rc2 no-rc4 no-rfc3779 no-rmd160 no-scrypt no-seed no-siphash
    no-siv no-sm2 no-sm3 no-sm4 no-srp no-srtp no-ts no-whirlpool
    -Os -ffunction-sections -fdata-sections -fno-asynchronous-unwind-tables -fno-unwind-tables)
  (cd "$openssl" &&
    ./Configure linux-ppc --cross-compile-prefix="$triplet-" --prefix="$prefix" --libdir=lib \
      "${trimmed[@]}" >/dev/null &&
    make -s -j "$jobs" build_generated >/dev/null && make -s -j "$jobs" libcrypto.a >/dev/null &&
    cp libcrypto.a "$prefix/lib/" && cp -r include/openssl "$prefix/include/")
  cmake -S /usr/src/googletest -B "$deps/googletest" -DBUILD_GMOCK=OFF \
    -DCMAKE_TOOLCHAIN_FILE="$here/cmake/toolchains/$triplet.cmake" \
    -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$deps/googletest" -j "$jobs" >/dev/null
  cmake --install "$deps/googletest" >/dev/null
  touch "$deps/done"
  echo "cross_test: zlib, libcrypto and GoogleTest for PowerPC in $((SECONDS - started)) s"
}

packages=(cmake make "g++-$triplet" qemu-user)
if [ "$target" = powerpc ]; then
  packages+=(dpkg-dev perl libgtest-dev)
else
  packages+=(mmdebstrap)
fi
install_missing "${packages[@]}"

# No debug information: it costs a fifth of the compile time and no one debugs here.
options=(-DCMAKE_TOOLCHAIN_FILE="$here/cmake/toolchains/$triplet.cmake" -DCMAKE_BUILD_TYPE=Release)
if [ "$target" = powerpc ]; then
  make_powerpc_deps
  options+=(-DINSTALLER_CROSS_PREFIX="$build/deps/prefix" -DINSTALLER_STATIC=ON)
else
  make_sysroot
  options+=(-DINSTALLER_SYSROOT="$build/sysroot")
fi

started=$SECONDS
cmake -S "$here" -B "$build/project" "${options[@]}" "$@"
cmake --build "$build/project" -j "$jobs"
echo "cross_test: $target build in $((SECONDS - started)) s"
started=$SECONDS
tests=(ctest --test-dir "$build/project" --output-on-failure -j "$jobs" ${exclude:+-E "$exclude"})
# qemu-user runs threads of its own, and a threaded process may not enter a user namespace,
# so without root the tests take theirs from unshare: the fixture then runs as root there.
[ "$(id -u)" -eq 0 ] || tests=(unshare --map-root-user "${tests[@]}")
"${tests[@]}"
echo "cross_test: $target tests in $((SECONDS - started)) s"
for program in installer vmpkg; do
  echo "cross_test: $target $program: $(stat -c %s "$build/project/$program") bytes"
done
