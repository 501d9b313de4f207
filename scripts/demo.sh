#!/usr/bin/env bash
# Main job: build the library and the qmd5820 tool, then run the tool against the
# simulated board (no hardware needed on Linux).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default --target qmd5820
tool=build/default/tools/qmd5820/qmd5820
echo "== qmd5820 list"
"$tool" list
echo "== qmd5820 outputs 0 on 0x81"
"$tool" outputs 0 on 0x81
echo "== qmd5820 timer 0 start 1 1000"
"$tool" timer 0 start 1 1000
