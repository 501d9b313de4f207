"""python -m qmd5820: the boards present, with identity and versions."""
from __future__ import annotations

import sys

from . import Board, QMD5820Error, boards, dll_version, library_path


def _version(v: int) -> str:
    return f"{v >> 16}.{(v >> 8) & 0xFF:02x}.{v & 0xFF:02x}" if v else "0"


def main() -> int:
    try:
        found = boards()
        print(f"library {library_path()} version 0x{dll_version():08X}")
        print(f"{len(found)} board(s)")
        for info in found:
            with Board(index=info.index) as board:
                print(f"board {info.index}: {info.identifier}  serial {board.serial_number}  "
                      f"revision {board.hardware_revision}  driver 0x{board.driver_version:08X}"
                      f"  firmware 0x{board.firmware_version:08X}")
    except (QMD5820Error, OSError) as e:
        print(f"qmd5820: {e}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
