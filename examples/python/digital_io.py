#!/usr/bin/env python3
"""The 8 digital inputs and outputs of board 0.

Reads the inputs (on the simulated board the example sets them to a walking pattern first),
switches outputs one by one and as a mask, and reads the output status back.
"""
import qmd5820

try:
    from qmd5820 import sim
except ImportError:
    sim = None

with qmd5820.Board(index=0) as board:
    for step in range(4):
        if sim is not None:
            sim.set_digital_inputs(0, 0x11 << step)  # what the wiring would do
        print(f"inputs  {board.read_inputs():08b}")
    print("input 7 alone:", board.read_input(7))
    board.outputs_off(0xFF)
    for channel in (0, 3, 6):
        board.set_output(channel, True)
        print(f"outputs {board.read_outputs():08b}")
    board.outputs_on(0xF0)
    board.set_output(6, False)
    print(f"outputs {board.read_outputs():08b}")
    try:
        board.set_output(9, True)  # a deliberate mistake: refused before it reaches the board
    except qmd5820.ArgumentError as e:
        print(f"output 9: {e}")
    board.outputs_off(0xFF)
