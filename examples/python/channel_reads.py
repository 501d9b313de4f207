#!/usr/bin/env python3
"""Transducer channels in metric units, one at a time and several at once.

Channels 0, 1 and 2 of board 0 with transducer types 1, 5 and 12 (ranges 2, 10 and 1); on
the simulated board the example moves the transducers between the reads.
"""
import qmd5820

try:
    from qmd5820 import sim
except ImportError:
    sim = None

USES = {0: 1, 1: 5, 2: 12}  # channel: transducer index

with qmd5820.Board(index=0) as board:
    board.init_channels(USES)
    reader = board.reader(list(USES))  # prepared once, read many times
    print("round  single ch0   (raw)   many: ch0, ch1, ch2")
    for rnd in range(5):
        if sim is not None:
            sim.set_position(0, 0, -1.5 + 0.75 * rnd)
            sim.set_position(0, 1, 8.0 - 4.0 * rnd)
            sim.set_position(0, 2, 0.1 * rnd * rnd)
        raw = board.read_raw(0)
        values = reader.read()
        print(f"{rnd:5}  {board.convert(0, raw):10.6f}  (0x{raw:04X})  "
              + "  ".join(f"{v:10.6f}" for v in values))
