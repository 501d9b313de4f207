#!/usr/bin/env bash
# Runs the tests of the Windows cross build under Wine.
#
#   scripts/wine-ctest.sh [ctest arguments...]      (default: --preset mingw)
#
# Each run gets a fresh Wine prefix copied from a template prefix (made once, ~10 s; a copy
# takes ~1 s), so a stand-in driver installed by one run never leaks into the next. The
# Wine server is started persistent and detached from every output before ctest runs: a
# server started by the first test would inherit ctest's pipes, which makes every later
# test slow and can hang ctest. The server of this prefix is stopped at the end.
#
# QMD5820_WINE_DIR (default build/wine) holds template/ and prefix/.
set -euo pipefail
cd "$(dirname "$0")/.."

wine_dir=${QMD5820_WINE_DIR:-build/wine}
mkdir -p "$wine_dir"
wine_dir=$(cd "$wine_dir" && pwd)
template=$wine_dir/template
prefix=$wine_dir/prefix
version=$(wine --version)

export WINEDEBUG=-all
# No Mono or Gecko installers, no display: console programs need neither.
export WINEDLLOVERRIDES="mscoree=;mshtml="
unset DISPLAY WAYLAND_DISPLAY

if [ ! -f "$template/.qmd5820-wine-version" ] ||
   [ "$(cat "$template/.qmd5820-wine-version")" != "$version" ]; then
  echo "wine-ctest: creating the template prefix ($version)"
  rm -rf "$template"
  WINEPREFIX=$template wineboot --init >/dev/null 2>&1 </dev/null
  WINEPREFIX=$template wineserver -w
  echo "$version" >"$template/.qmd5820-wine-version"
fi

export WINEPREFIX=$prefix
if [ -d "$prefix" ]; then
  wineserver -k >/dev/null 2>&1 </dev/null || true
  rm -rf "$prefix"
fi
cp -a "$template" "$prefix"

stop_server() { wineserver -k >/dev/null 2>&1 </dev/null || true; }
trap stop_server EXIT

wineserver -p >/dev/null 2>&1 </dev/null
wine wineboot >/dev/null 2>&1 </dev/null

if (($# == 0)); then
  set -- --preset mingw
fi
ctest "$@"
