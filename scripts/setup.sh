#!/usr/bin/env bash
# Installs what building needs on a fresh Debian machine (idempotent: nothing is fetched
# when everything is present).
#   scripts/setup.sh demo   the library and the qmd5820 tool only: CMake, Ninja, g++, CLI11,
#                           nlohmann-json, and for the test panel pkg-config, cpp-httplib and
#                           dygraphs
#   scripts/setup.sh [test] everything scripts/test.sh runs: also GoogleTest, Google
#                           Benchmark, Python, pkg-config, MinGW-w64, clang/libFuzzer,
#                           LLVM tools, Wine, Doxygen, Sphinx and groff (the references
#                           and the man page check), Chromium, its WebDriver and Selenium
#                           (the test panel in a real browser)
set -euo pipefail

demo=(cmake ninja-build g++ libcli11-dev nlohmann-json3-dev pkg-config libcpp-httplib-dev
      libjs-dygraphs)
test=("${demo[@]}" python3 googletest libgtest-dev libgmock-dev libbenchmark-dev pkg-config
      g++-mingw-w64-x86-64 clang-14 libclang-rt-14-dev llvm-14 lld-14 wine wine64
      python3-setuptools python3-wheel python3-numpy python3-matplotlib doxygen
      python3-sphinx python3-mypy groff-base chromium chromium-driver python3-selenium curl
      xz-utils)
case "${1:-test}" in
  demo) packages=("${demo[@]}") ;;
  test) packages=("${test[@]}") ;;
  *) echo "usage: scripts/setup.sh [demo|test]" >&2; exit 2 ;;
esac
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

# The Windows tool's test panel needs cpp-httplib as one header (Debian ships it split into a
# header and a shared library): the upstream header from Debian's source package, checked
# against its SHA-256, into the build tree (never into the repository). Without it the
# Windows tool is built without the panel.
if [ "${1:-test}" = test ]; then
  httplib_dir="$(cd "$(dirname "$0")/.." && pwd)/build/third-party/cpp-httplib-0.11.4"
  if [ ! -f "$httplib_dir/httplib.h" ]; then
    url=https://deb.debian.org/debian/pool/main/c/cpp-httplib/cpp-httplib_0.11.4+ds.orig.tar.xz
    sha256=8b1a5df569003b6a4f24c68489bbda5c64aec94697bdc9ebba5d79408b2ae7eb
    tmp=$(mktemp -d)
    if curl -sSfL --max-time 60 -o "$tmp/orig.tar.xz" "$url" &&
       echo "$sha256  $tmp/orig.tar.xz" | sha256sum -c --quiet - &&
       tar -xJf "$tmp/orig.tar.xz" -C "$tmp" --wildcards '*/httplib.h'; then
      mkdir -p "$httplib_dir"
      mv "$tmp"/*/httplib.h "$httplib_dir/httplib.h.part" && mv "$httplib_dir/httplib.h.part" "$httplib_dir/httplib.h"
      echo "setup: cpp-httplib 0.11.4 header in $httplib_dir"
    else
      echo "setup: cpp-httplib's header could not be fetched: the Windows tool is built without the panel" >&2
    fi
    rm -rf "$tmp"
  fi
fi
