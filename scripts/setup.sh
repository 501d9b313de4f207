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
      python3-sphinx python3-mypy groff-base chromium chromium-driver python3-selenium)
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
