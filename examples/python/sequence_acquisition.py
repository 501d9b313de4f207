#!/usr/bin/env python3
"""A sequence acquisition of channels 0 and 1 (transducer types 1 and 5), three blocks of
ten sequences, then 25 sequences across blocks. Every block says which sequences it holds
and when the board announced them; the rate is measured from those times. On the simulated
board channel 0 swings around 0.5 and channel 1 sits at -2.5. Leaving the with-block
(normally, by an exception or Ctrl-C) stops the acquisition and removes the interrupt
routine; blocks left unread would be reported on the "qmd5820" logger."""
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
        for block in acq.blocks(3):
            for number, row in zip(block.sequences, block.values):
                print(f"{number:8}  {row[0]:9.6f}  {row[1]:9.6f}")
        more = acq.read(25)
        print(f"then sequences {more.first_sequence} to {more.sequences[-1]}: mean "
              f"{more.values.mean(axis=0).round(4)}, {acq.backlog} block(s) waiting, "
              f"about {acq.sequence_rate():.0f} sequences/s")
if sim is not None:
    sim.stop_moving()
