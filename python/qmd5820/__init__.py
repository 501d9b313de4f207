"""qmd5820 - Python interface of the QMD5820 PCI measurement board library.

ctypes over the board library, numpy arrays for every series of values.

    import qmd5820
    for info in qmd5820.boards():
        print(info.index, info.identifier)
    with qmd5820.Board(index=0) as board:
        board.init_channel(0, 1)             # channel 0, transducer type 1 of the database
        print(board.read(0))                 # metric value
        with board.sequence({0: 1, 1: 5}) as acq:
            for block in acq.blocks(3):      # Block: values (sequences x channels), ...
                print(block.first_sequence, block.values.mean(axis=0))

Acquisition: every block says which sequences it holds (``sequences``), when the board
announced them (``arrived``) and where a code is at full scale (``over_range``); a backlog
beyond ``max_backlog`` raises OverrunError or is dropped with a warning on the ``qmd5820``
logger, never silently; ``acq.read(n)`` takes n sequences, ``on_block=`` a callback.

Calibration: ``board.calibration_worker(...)`` follows the library's worker as an iterator of
status updates (confirm(), break_(), a context manager that breaks on exception or Ctrl-C);
``board.step_calibration(...)`` runs the step-by-step procedure. A break reports what it
restored (BreakReport).

Every failure raises a QMD5820Error: the library's code, function and text, and a hint
where that text misleads; ArgumentError (also a ValueError) for an argument refused before
it reached the library, BoardClosedError, StateError, AcquisitionTimeoutError (also a
TimeoutError), OverrunError, CalibrationError, CallbackError. On Linux the library runs on
the simulated board; ``qmd5820.sim`` drives it (positions, inputs, faults, sequence rate).
"""
try:
    import numpy as _numpy  # a dependency: every series of values is an array
except ImportError as _e:  # pragma: no cover - depends on the interpreter
    raise ImportError("qmd5820 needs numpy (Debian: apt install python3-numpy; "
                      "pip: pip install numpy)") from _e
del _numpy

from ._library import path as library_path
from .acquisition import AutoRefresh, Block
from .board import (SEQUENCE_INTERRUPT, SHORT_CIRCUIT_INTERRUPT, TIMER_INTERRUPT, Board,
                    BoardInformation, board_count, board_information, boards, dll_version)
from .calibration import (BreakReport, CalibrationError, CalibrationStatus,
                          CalibrationWorker)
from .channels import ChannelReader, Transducer, over_range
from .errors import (AcquisitionTimeoutError, ArgumentError, BoardClosedError, CallbackError,
                     InterruptRoutineError, LibraryLoadError, OverrunError, QMD5820Error,
                     StateError)
from .sequence import SequenceAcquisition
from .step_calibration import StepCalibration

__version__ = "2026.4.1.0"

__all__ = [
    "AcquisitionTimeoutError", "ArgumentError", "AutoRefresh", "Block", "Board",
    "BoardClosedError", "BoardInformation", "BreakReport", "CalibrationError",
    "CalibrationStatus", "CalibrationWorker", "CallbackError", "ChannelReader",
    "InterruptRoutineError", "LibraryLoadError", "OverrunError", "QMD5820Error",
    "SEQUENCE_INTERRUPT", "SHORT_CIRCUIT_INTERRUPT", "SequenceAcquisition", "StateError",
    "StepCalibration", "TIMER_INTERRUPT", "Transducer", "board_count", "board_information",
    "boards", "dll_version", "library_path", "over_range",
]
