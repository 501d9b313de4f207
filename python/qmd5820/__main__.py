"""python -m qmd5820: the boards present, with identity and versions."""
from __future__ import annotations

import argparse
import sys
from typing import Optional, Sequence

from . import Board, QMD5820Error, __version__, boards, dll_version, library_path


def _version(v: int) -> str:
    return f"{v >> 16}.{(v >> 8) & 0xFF:02x}.{v & 0xFF:02x}" if v else "0"


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = argparse.ArgumentParser(
        prog="python -m qmd5820",
        description="List the QMD5820 boards present with their identity and versions: the "
                    "library used (QMD5820_LIBRARY chooses another), its version, and per "
                    "board identifier, serial number, hardware revision, driver and firmware "
                    "versions. On Linux the boards are the simulated ones.",
        epilog="Exit status: 0 listed, 1 the library or a board failed, 2 bad arguments.")
    parser.add_argument("--version", action="version", version=f"qmd5820 {__version__}")
    parser.parse_args(argv)
    try:
        found = boards()
        print(f"library {library_path()} version 0x{dll_version():08X}")
        print(f"{len(found)} board(s)")
        for info in found:
            with Board(index=info.index) as board:
                print(f"board {info.index}: {info.identifier}  serial {board.serial_number}  "
                      f"revision {board.hardware_revision}  driver 0x{board.driver_version:08X}"
                      f"  firmware 0x{board.firmware_version:08X}")
    except QMD5820Error as e:  # LibraryLoadError included
        print(f"qmd5820: {e}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
