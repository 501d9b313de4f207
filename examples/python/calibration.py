#!/usr/bin/env python3
"""Calibrating a transducer type with the library's worker, followed as an iterator.

Transducer type 1 of the factory database (range 2) on channel 3 of board 0, position 1.0
for the position phases. Each status update is printed with its live values; at the waits
the transducer is placed and the step confirmed. Leaving the ``with`` block early (an
exception, Ctrl-C) breaks the calibration and restores the transducer's configuration.

On the simulated board the example starts from factory boards (the kept state of the
simulated boards is left alone), switches the analog front end's errors on, runs on a
virtual clock, places the transducer itself and prints the readings at five positions
before and after. On a real board it asks the operator to move the transducer.
"""
import qmd5820

try:
    from qmd5820 import sim
except ImportError:
    sim = None

TRANSDUCER, CHANNEL, RANGE, POSITION = 1, 3, 2.0, 1.0
POINTS = [f * RANGE for f in (-0.9, -0.5, 0.0, 0.5, 0.9)]


def readings(board: qmd5820.Board, when: str) -> None:
    board.init_channel(CHANNEL, TRANSDUCER)
    cells = []
    for x in POINTS:
        if sim is not None:
            sim.set_position(0, CHANNEL, x)
        value = board.read(CHANNEL)
        cells.append(f"{value:+9.5f} ({100 * (value - x) / RANGE:+6.3f} %)")
    print(f"{when:7}" + "  ".join(cells))


def place(update: qmd5820.CalibrationStatus) -> None:
    """Status 25: the transducer at its zero; 9 (and 16 for a group 1 channel): at the
    position; 19 needs nothing moved."""
    where = {25: 0.0, 9: POSITION, 16: POSITION}.get(update.status)
    if sim is not None:
        if where is not None:
            sim.set_position(0, CHANNEL, where)
    elif where is not None:
        input(f"  put the transducer at {where}, then press Enter ")
    else:
        input("  press Enter to go on ")


if sim is not None:
    qmd5820.board_count()  # the first call attaches the kept state; reset() detaches it
    sim.reset()
    sim.set_virtual_clock(True)
    sim.frontend_enable(0, True)

with qmd5820.Board(index=0) as board:
    print("readings at" + "".join(f"{x:+9.5f}{'':13}" for x in POINTS))
    readings(board, "before")
    with board.calibration_worker(TRANSDUCER, CHANNEL, POSITION, impedance=350) as run:
        for update in run:
            print(f"  {update}")
            if update.waiting:
                place(update)
                run.confirm()
    readings(board, "after")
