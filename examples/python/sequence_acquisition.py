#!/usr/bin/env python3
"""A sequence acquisition of channels 0 and 1 (transducer types 1 and 5), three blocks of
ten sequences. On the simulated board channel 0 swings around 0.5 and channel 1 sits at
-2.5. Leaving the with-block (normally, by an exception or Ctrl-C) stops the acquisition
and removes the interrupt routine."""
import qmd5820

try:
    from qmd5820 import sim
except ImportError:
    sim = None

if sim is not None:
    sim.set_position(0, 1, -2.5)
    sim.move(0, 0, centre=0.5, amplitude=1.0, period_s=0.05)

with qmd5820.Board(index=0) as board:
    with board.sequence({0: 1, 1: 5}, sequences_per_interrupt=10) as acq:
        print("sequence  channel 0  channel 1")
        n = 0
        for block in acq.blocks(3):
            for row in block:
                n += 1
                print(f"{n:8}  {row[0]:9.6f}  {row[1]:9.6f}")
if sim is not None:
    sim.stop_moving()
