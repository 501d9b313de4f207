#!/usr/bin/env bash
# Every test: the suite natively (then the check that it reached every catalogued result
# code), under AddressSanitizer + UndefinedBehaviorSanitizer and under ThreadSanitizer, a
# bounded run of every libFuzzer target from its seed corpus, and the Windows x64 cross
# build with every test of it under Wine (scripts/wine-ctest.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

run() { echo; echo "== $*"; "$@"; }

for preset in default asan tsan; do
  run cmake --preset "$preset" >/dev/null
  run cmake --build --preset "$preset"
  # The default build records every (function, result code) the suite produces.
  if [ "$preset" = default ]; then rm -f build/default/recorded_codes.txt; fi
  run ctest --preset "$preset"
  if [ "$preset" = default ]; then
    run python3 scripts/check_result_codes.py --catalogue src/core/catalogue.cpp \
      --recorded build/default/recorded_codes.txt \
      --unreachable tests/unreachable_result_codes.txt \
      --library build/default/src/libQMD5820.so
  fi
done

# Each fuzz target briefly, from its checked-in seed corpus (fuzz/corpus/<name> for
# <name>_fuzzer); new inputs go to a scratch corpus in the build tree.
run cmake --preset fuzz >/dev/null
run cmake --build --preset fuzz
for corpus in fuzz/corpus/*/; do
  name=$(basename "$corpus")
  mkdir -p "build/fuzz/corpus/$name"
  dict=""
  [ -f "fuzz/${name}.dict" ] && dict="-dict=fuzz/${name}.dict"
  run "build/fuzz/fuzz/${name}_fuzzer" $dict -artifact_prefix="build/fuzz/" -seed=1 -max_total_time=25 -print_final_stats=1 \
    "build/fuzz/corpus/$name" "$corpus"
done

run cmake --preset mingw >/dev/null
run cmake --build --preset mingw
run scripts/wine-ctest.sh --preset mingw
echo
echo "all test stages passed"
