#!/usr/bin/env bash
# Main job: build the library and the qmd5820 tool, then run the tool against the
# simulated board (no hardware needed on Linux).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh demo
# Only the library and the tool: no tests, benchmarks or examples, so none of their
# dependencies (GoogleTest, Google Benchmark, Python) are needed.
cmake -S . -B build/demo -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQMD5820_BUILD_TESTS=OFF \
      -DQMD5820_BUILD_BENCH=OFF -DQMD5820_BUILD_EXAMPLES=OFF >/dev/null
cmake --build build/demo --target qmd5820
tool=build/demo/tools/qmd5820/qmd5820
# The simulated boards keep their state between runs (QMD5820_SIM_STATE): the demo runs
# on a state file of its own, from the factory state.
export QMD5820_SIM_STATE="$PWD/build/demo/sim-state"
rm -f "$QMD5820_SIM_STATE"
echo "== qmd5820 --version"
"$tool" --version
echo "== qmd5820 list"
"$tool" list
echo "== qmd5820 outputs 0 on 0x81"
"$tool" outputs 0 on 0x81
echo "== qmd5820 outputs 0   (a new run: the simulated board still has 0x81)"
"$tool" outputs 0
echo "== qmd5820 sim show   (what the state file keeps)"
"$tool" sim show
echo "== qmd5820 timer 0 start 1 1000"
"$tool" timer 0 start 1 1000

# Transducer database and channels. --position places the simulated transducers so the readings are not all zero.
echo "== qmd5820 db 0 list"
"$tool" db 0 list
echo "== qmd5820 db 0 show 5"
"$tool" db 0 show 5
positions=(--position 0:0=1.25 --position 0:1=-7.5)
echo "== qmd5820 ${positions[*]} read 0 0:1 1:5"
"$tool" "${positions[@]}" read 0 0:1 1:5
echo "== qmd5820 --moving ${positions[*]} watch 0 0:1 1:5 --count 3 --interval 100"
"$tool" --moving "${positions[@]}" watch 0 0:1 1:5 --count 3 --interval 100

# Sequence acquisition: three interrupts of two sequences each, as CSV on stdout.
echo "== qmd5820 ${positions[*]} acquire 0 0:1 1:5 --sequences-per-interrupt 2 --interrupts 3"
"$tool" "${positions[@]}" acquire 0 0:1 1:5 --sequences-per-interrupt 2 --interrupts 3

# Primary line: a simulated short circuit is latched until the line is rearmed.
echo "== qmd5820 --short-circuit 0 line 0 test rearm test"
"$tool" --short-circuit 0 line 0 test rearm test

# Calibration on the simulated board (its analog front end on, virtual clock): the worker
# on channels 0 and 12, then step by step on channel 3; readings before and after.
echo "== qmd5820 --virtual-clock calibrate 0 5 0,12 --position 6"
"$tool" --virtual-clock calibrate 0 5 0,12 --position 6
echo "== qmd5820 --virtual-clock calibrate 0 1 3 --position 1 --interactive"
"$tool" --virtual-clock calibrate 0 1 3 --position 1 --interactive

# The test panel: started for a few seconds, its page and the boards fetched with the
# token it printed, then stopped with SIGTERM (it closes the boards on the way out).
if "$tool" --help | grep -q '^  panel'; then
  echo "== qmd5820 panel --no-browser   (a few seconds)"
  panel_out="$PWD/build/demo/panel.out"
  "$tool" panel --no-browser >"$panel_out" &
  panel_pid=$!
  for _ in $(seq 50); do grep -q token= "$panel_out" && break; sleep 0.1; done
  url=$(grep -o 'http://[^ ]*' "$panel_out" | head -1)
  echo "panel at $url"
  python3 - "$url" <<'PY'
import sys, urllib.request
url = sys.argv[1]
base, token = url.split("/?token=")
page = urllib.request.urlopen(url, timeout=10).read().decode()
print("page:", "<title>QMD5820 test panel</title>" in page and "the panel's page" or "NOT the panel's page")
request = urllib.request.Request(base + "/api/boards", headers={"X-Panel-Token": token})
boards = urllib.request.urlopen(request, timeout=10).read().decode()
print("boards:", boards[:120] + "...")
PY
  sleep 2
  kill -TERM "$panel_pid"
  wait "$panel_pid"
  cat "$panel_out"
fi

echo "== qmd5820 read 0 0:7   (transducer 7 is not in the database: fails on purpose)"
status=0
"$tool" read 0 0:7 2>&1 || status=$?
echo "exit status $status"
if [ "$status" -ne 1 ]; then
  echo "demo: expected the read of transducer 7 to fail with exit status 1" >&2
  exit 1
fi
