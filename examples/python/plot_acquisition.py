#!/usr/bin/env python3
"""A sequence acquisition plotted to acquisition.png with matplotlib; the time axis comes
from the blocks' sequence numbers and the measured sequence rate.

Needs numpy and matplotlib (Debian: apt install python3-numpy python3-matplotlib); without
them the example says so and exits with 77 (skipped). Usage: plot_acquisition.py [PNG]
"""
import sys

try:
    import matplotlib
except ImportError:
    print("plot_acquisition: matplotlib is needed (apt install python3-matplotlib); skipped")
    sys.exit(77)

matplotlib.use("Agg")  # files only, no display needed
import matplotlib.pyplot as plt  # noqa: E402

import numpy as np  # noqa: E402  (a dependency of qmd5820)

import qmd5820  # noqa: E402

try:
    from qmd5820 import sim
except ImportError:
    sim = None

USES = {0: 1, 1: 5, 2: 12}  # channel: transducer index (ranges 2, 10 and 1)
PERIOD_US = 1000            # one sequence per millisecond on the simulated board
out = sys.argv[1] if len(sys.argv) > 1 else "acquisition.png"

if sim is not None:
    sim.set_sequence_period_us(0, PERIOD_US)
    sim.move(0, 0, centre=0.0, amplitude=1.8, period_s=0.25)
    sim.move(0, 1, centre=2.0, amplitude=6.0, period_s=0.5)
    sim.move(0, 2, centre=-0.2, amplitude=0.5, period_s=0.1)

with qmd5820.Board(index=0) as board:
    with board.sequence(USES, sequences_per_interrupt=50) as acq:
        blocks = list(acq.blocks(20))  # 20 blocks of 50 sequences x 3 channels
        rate = acq.sequence_rate()     # measured from the blocks' arrival times
if sim is not None:
    sim.stop_moving()
    rate = 1e6 / PERIOD_US             # what the simulated board was told

data = np.vstack([block.values for block in blocks])
t = np.concatenate([block.sequences for block in blocks]) / rate * 1000.0
fig, ax = plt.subplots(figsize=(8, 4))
for column, (channel, index) in enumerate(USES.items()):
    ax.plot(t, data[:, column], label=f"channel {channel} (type {index})")
ax.set_xlabel("time (ms)")
ax.set_ylabel("position (metric units)")
ax.set_title("QMD5820 board 0: sequence acquisition")
ax.legend(loc="upper right")
fig.tight_layout()
fig.savefig(out, dpi=100)
print(f"{len(data)} sequences x {data.shape[1]} channels, "
      f"min {data.min(axis=0).round(3)}, max {data.max(axis=0).round(3)} -> {out}")
