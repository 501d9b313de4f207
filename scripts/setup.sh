#!/usr/bin/env bash
# Installs what building and testing need on a fresh Debian machine (idempotent: nothing
# is fetched when everything is present).
set -euo pipefail

packages=(cmake ninja-build g++ python3 googletest libgtest-dev libgmock-dev libbenchmark-dev
          g++-mingw-w64-x86-64 clang-14 libclang-rt-14-dev llvm-14 lld-14 wine wine64 pkg-config
          python3-setuptools python3-wheel python3-numpy python3-matplotlib doxygen)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
