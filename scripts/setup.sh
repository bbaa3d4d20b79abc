#!/usr/bin/env bash
# Installs the Debian packages that building, testing and fuzzing need, if any is missing.
set -euo pipefail

packages=(cmake make g++ pkg-config qtbase5-dev libgtest-dev libgmock-dev libbenchmark-dev
          clang libclang-rt-14-dev binutils)
packages+=("$@")

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -q
  $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
