#!/usr/bin/env bash
# Every test: the suite natively, under AddressSanitizer + UndefinedBehaviorSanitizer and
# under ThreadSanitizer, a bounded libFuzzer run over EEPROM images, and the Windows x64
# cross build with every test of it under Wine (scripts/wine-ctest.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

run() { echo; echo "== $*"; "$@"; }

for preset in default asan tsan; do
  run cmake --preset "$preset" >/dev/null
  run cmake --build --preset "$preset"
  run ctest --preset "$preset"
done

run cmake --preset fuzz >/dev/null
run cmake --build --preset fuzz
run build/fuzz/fuzz/eeprom_fuzzer -seed=1 -max_total_time=30 -print_final_stats=1

run cmake --preset mingw >/dev/null
run cmake --build --preset mingw
run scripts/wine-ctest.sh --preset mingw
echo
echo "all test stages passed"
