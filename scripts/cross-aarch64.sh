#!/usr/bin/env bash
# cross-aarch64.sh [--install-only] [ctest arguments...]
# Builds the plug-in, the stand-in host library, ur-host, ur-sim and the tests for 64-bit
# ARM Linux with Debian's cross compiler and arm64 multiarch packages, checks the plug-in
# file, and runs the test suite under qemu-aarch64. Installs what is missing first, from
# Debian's packages only. Arguments go to ctest (e.g. -R Decoder).
# Environment: UR_AARCH64_BUILD (build directory, default build-aarch64),
#              UR_CTEST_JOBS (parallel tests, default 4 per core).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${UR_AARCH64_BUILD:-$root/build-aarch64}"
jobs="${UR_CTEST_JOBS:-$(( $(nproc) * 4 ))}"

install_only=0
if [ "${1:-}" = "--install-only" ]; then install_only=1; shift; fi

t0=$SECONDS
phase() { echo "== $1 ($(( SECONDS - t0 )) s)"; }

# --- Packages ---------------------------------------------------------------------------
# Native: compilers, CMake, moc/rcc (qtbase5-dev-tools) and qemu. arm64 via multiarch: Qt
# and GoogleTest libraries and headers, which land in /usr/lib/aarch64-linux-gnu.
native=(cmake make file binutils g++-aarch64-linux-gnu qtbase5-dev-tools qemu-user)
foreign=(qtbase5-dev:arm64 libqt5core5a:arm64 libgtest-dev:arm64 libgmock-dev:arm64)

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }

missing=()
for p in "${native[@]}" "${foreign[@]}"; do installed "$p" || missing+=("$p"); done
if [ ${#missing[@]} -gt 0 ]; then
  phase "Installing: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  apt=($SUDO apt-get -q -o DPkg::Lock::Timeout=600)
  if ! dpkg --print-foreign-architectures | grep -qx arm64; then
    $SUDO dpkg --add-architecture arm64
  fi
  "${apt[@]}" update
  # arm64 packages must sit beside the native ones; refuse anything that would replace a
  # native package (a -dev package that is not co-installable across architectures).
  removals=$("${apt[@]}" install -s --no-install-recommends "${missing[@]}" | grep '^Remv' || true)
  if [ -n "$removals" ]; then
    echo "Installing ${missing[*]} would remove packages; not doing that:" >&2
    echo "$removals" >&2
    exit 1
  fi
  "${apt[@]}" install -y --no-install-recommends "${missing[@]}"
fi
[ "$install_only" -eq 1 ] && exit 0

# --- Build ------------------------------------------------------------------------------
phase "Configure $build"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_TOOLCHAIN_FILE="$root/cmake/aarch64-linux-gnu.cmake" \
      -DUR_BUILD_TESTS=ON -DUR_BUILD_BENCHMARKS=OFF -DUR_BUILD_FUZZ=OFF >/dev/null

phase "Build"
cmake --build "$build" -j 2

# --- The plug-in file -------------------------------------------------------------------
phase "Check the plug-in file"
plugin="$build/plugins/libuniversal_robot.so"
description=$(file -b "$plugin")
echo "libuniversal_robot.so: $description"
case "$description" in
  *"ARM aarch64"*) ;;
  *) echo "FAIL: the plug-in is not an aarch64 library" >&2; exit 1 ;;
esac
if ! aarch64-linux-gnu-readelf -d "$plugin" | grep -q 'NEEDED.*\[libnoru\.so\.1\]'; then
  echo "FAIL: the plug-in does not name libnoru.so.1 as a needed library" >&2
  exit 1
fi
aarch64-linux-gnu-readelf -d "$plugin" | grep NEEDED

# --- Tests under qemu -------------------------------------------------------------------
# CMAKE_CROSSCOMPILING_EMULATOR, set by the toolchain file, runs the test programs.
phase "Tests under qemu-aarch64"
status=0
(cd "$build" && ctest -j "$jobs" --output-on-failure --no-tests=error "$@") || status=$?
phase "Done"
exit "$status"
