#!/usr/bin/env bash
# package.sh [amd64|arm64|both]: builds the Debian packages of the plug-in
# (noru-plugin-universal-robot) and of the tools (universal-robot-tools) for the given
# architecture (default: the build machine's) into dist/, and checks each one: its
# architecture, its files, its dependencies against what the binaries need, and that dpkg
# installs it into a scratch root. arm64 is cross-built (scripts/cross-aarch64.sh sets up
# the compiler and libraries). Build directories: build-pkg/<arch>.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
dist="$root/dist"
which="${1:-$(dpkg --print-architecture)}"
case "$which" in
  amd64 | arm64) archs=("$which") ;;
  both) archs=(amd64 arm64) ;;
  *) echo "usage: $0 [amd64|arm64|both]" >&2; exit 2 ;;
esac

plugin_pkg=noru-plugin-universal-robot
tools_pkg=universal-robot-tools
plugin_path=usr/lib/noru/plugins/libuniversal_robot.so
# What the binaries may link against: the host's library and what the Depends field names.
allowed_needed=(libnoru.so.1 libQt5Core.so.5 libstdc++.so.6 libgcc_s.so.1 libc.so.6 libm.so.6
                ld-linux-x86-64.so.2 ld-linux-aarch64.so.1)
# libstdc++6 (>= 12) provides symbol versions up to these.
max_glibcxx=3.4.30
max_cxxabi=1.3.13

fail() { echo "FAIL: $*" >&2; exit 1; }
version_le() { [ "$(printf '%s\n%s\n' "$1" "$2" | sort -V | head -n1)" = "$1" ]; }
highest() { readelf -W --dyn-syms "$1" | grep -o "$2[0-9.]*[0-9]" | sed "s/^$2//" | sort -uV | tail -n1; }

# The binaries of an unpacked package need no library and no symbol version that its
# Depends field does not cover.
check_binaries() {
  local tree=$1 depends=$2 libc_min f needed
  libc_min=$(echo "$depends" | sed -n 's/.*libc6 (>= \([0-9.]*\)).*/\1/p')
  [ -n "$libc_min" ] || fail "no versioned libc6 dependency in: $depends"
  if echo "$depends" | grep -qi noru; then
    fail "a dependency names the host library: $depends"
  fi
  while IFS= read -r f; do
    file -b "$f" | grep -q ELF || continue
    for needed in $(readelf -d "$f" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
      [[ " ${allowed_needed[*]} " == *" $needed "* ]] || fail "${f#"$tree"/} needs $needed"
    done
    local glibc glibcxx cxxabi
    glibc=$(highest "$f" GLIBC_)
    glibcxx=$(highest "$f" GLIBCXX_)
    cxxabi=$(highest "$f" CXXABI_)
    [ -z "$glibc" ] || version_le "$glibc" "$libc_min" ||
      fail "${f#"$tree"/} needs GLIBC_$glibc, Depends says libc6 (>= $libc_min)"
    [ -z "$glibcxx" ] || version_le "$glibcxx" "$max_glibcxx" ||
      fail "${f#"$tree"/} needs GLIBCXX_$glibcxx, newer than libstdc++6 (>= 12)"
    [ -z "$cxxabi" ] || version_le "$cxxabi" "$max_cxxabi" ||
      fail "${f#"$tree"/} needs CXXABI_$cxxabi, newer than libstdc++6 (>= 12)"
    if readelf -W --dyn-syms "$f" | grep -q 'Qt_5_PRIVATE_API'; then
      fail "${f#"$tree"/} uses Qt's private API, bound to one exact Qt build"
    fi
  done < <(find "$tree" -type f)
}

# dpkg installs the package into an empty scratch root, without the dependencies that
# such a root cannot have.
check_install() {
  local deb=$1 arch=$2 scratch=$3
  mkdir -p "$scratch/var/lib/dpkg/info" "$scratch/var/lib/dpkg/updates"
  touch "$scratch/var/lib/dpkg/status"
  local dpkg=(dpkg --root="$scratch" --log=/dev/null --force-depends --force-not-root)
  [ "$arch" = "$(dpkg --print-architecture)" ] || "${dpkg[@]}" --add-architecture "$arch"
  # The scratch root has none of the dependencies: dpkg names them and goes on.
  if ! "${dpkg[@]}" -i "$deb" >"$scratch.log" 2>&1; then
    cat "$scratch.log" >&2
    fail "dpkg -i $deb failed"
  fi
  rm -f "$scratch.log"
  "${dpkg[@]}" -l | awk '/^ii / { print "  dpkg -i in a scratch root: " $2 " " $3 " " $4 }'
}

build_and_package() {
  local arch=$1 build="$root/build-pkg/$1" options=()
  echo "== $arch"
  if [ "$arch" = "$(dpkg --print-architecture)" ]; then
    "$root/scripts/setup.sh"
  elif [ "$arch" = arm64 ]; then
    "$root/scripts/cross-aarch64.sh" --install-only
    options+=(-DCMAKE_TOOLCHAIN_FILE="$root/cmake/aarch64-linux-gnu.cmake")
  else
    fail "no cross build for $arch on $(dpkg --print-architecture)"
  fi
  # The plug-in goes to /usr/lib/noru/plugins, where ur-host also looks for it.
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
        -DUR_PLUGIN_INSTALL_DIR=lib/noru/plugins -DUR_BUILD_TESTS=OFF \
        -DUR_BUILD_BENCHMARKS=OFF -DUR_BUILD_FUZZ=OFF "${options[@]}" >/dev/null
  cmake --build "$build" -j 2
  rm -f "$build"/*.deb
  (cd "$build" && cpack -G DEB >/dev/null)

  mkdir -p "$dist"
  local pkg deb info contents tree scratch
  for pkg in "$plugin_pkg" "$tools_pkg"; do
    deb=$(ls "$build/${pkg}_"*"_$arch.deb" 2>/dev/null | head -n1) || true
    [ -n "$deb" ] || fail "cpack made no $pkg package for $arch"
    [ "$(dpkg-deb -f "$deb" Architecture)" = "$arch" ] ||
      fail "$deb has architecture $(dpkg-deb -f "$deb" Architecture)"
    contents=$(dpkg-deb -c "$deb" | awk '{ print $6 }')
    if [ "$pkg" = "$plugin_pkg" ]; then
      echo "$contents" | grep -qx "./$plugin_path" || fail "$deb has no /$plugin_path"
      if echo "$contents" | grep -q 'libnoru'; then fail "$deb carries a libnoru"; fi
      [ "$(echo "$contents" | grep -c '\.so')" -eq 1 ] || fail "$deb has other libraries"
    else
      for f in usr/bin/ur-host usr/bin/ur-sim usr/lib/universal-robot-tools/libnoru.so.1; do
        echo "$contents" | grep -qx "./$f" || fail "$deb has no /$f"
      done
    fi
    tree=$(mktemp -d)
    dpkg-deb -x "$deb" "$tree"
    check_binaries "$tree" "$(dpkg-deb -f "$deb" Depends)"
    if [ "$pkg" = "$plugin_pkg" ]; then
      if readelf -d "$tree/$plugin_path" | grep -qE 'R(UN)?PATH'; then
        fail "the packaged plug-in carries a library search path"
      fi
      file -b "$tree/$plugin_path" | sed 's/^/  plug-in: /'
    else
      readelf -d "$tree/usr/bin/ur-host" |
        grep -qF '[$ORIGIN/../lib/universal-robot-tools]' ||
        fail "ur-host does not search \$ORIGIN/../lib/universal-robot-tools"
    fi
    rm -rf "$tree"
    scratch=$(mktemp -d)
    check_install "$deb" "$arch" "$scratch"
    if [ "$pkg" = "$plugin_pkg" ] && [ ! -f "$scratch/$plugin_path" ]; then
      fail "dpkg -i did not install /$plugin_path"
    fi
    rm -rf "$scratch"
    cp "$deb" "$dist/"
    echo "  $(basename "$deb"): Architecture $arch, Depends $(dpkg-deb -f "$deb" Depends)"
  done
}

for arch in "${archs[@]}"; do build_and_package "$arch"; done
echo "Packages in $dist:"
ls -l "$dist"
