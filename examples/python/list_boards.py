#!/usr/bin/env python3
"""The boards present with their identity and versions.

On the simulated board the example first adds a board of its own ("QMD5820-EXAMPLE",
serial number 4242, revision C), so the list shows one board more than the demo set.
"""
import qmd5820

try:
    from qmd5820 import sim
except ImportError:  # a real board (Windows): nothing to simulate
    sim = None

if sim is not None:
    sim.add_board("QMD5820-EXAMPLE", 4242, hardware_revision=2)

print(f"library version 0x{qmd5820.dll_version():08X}")
for info in qmd5820.boards():
    with qmd5820.Board(index=info.index) as board:
        print(f"board {info.index}: {info.identifier:20} serial {board.serial_number:<10} "
              f"revision {board.hardware_revision}  driver 0x{board.driver_version:08X}  "
              f"firmware 0x{board.firmware_version:08X}")
