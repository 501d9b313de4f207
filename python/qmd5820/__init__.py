"""qmd5820 - Python interface of the QMD5820 PCI measurement board library.

Pure Python over ctypes; numpy is used when it is installed (metric values and acquisition
blocks come as numpy arrays then, as lists otherwise).

    import qmd5820
    for info in qmd5820.boards():
        print(info.index, info.identifier)
    with qmd5820.Board(index=0) as board:
        board.init_channel(0, 1)             # channel 0, transducer type 1 of the database
        print(board.read(0))                 # metric value
        with board.sequence({0: 1, 1: 5}) as acq:
            for block in acq.blocks(3):      # sequences x channels
                print(block)

Calibration: ``board.calibration_worker(...)`` follows the library's worker as an iterator of
status updates (confirm(), break_(), a context manager that breaks on exception or Ctrl-C);
``board.step_calibration(...)`` runs the step-by-step procedure.

Every failure raises QMD5820Error (code, function, text). On Linux the library runs on the
simulated board; ``qmd5820.sim`` drives it (positions, inputs, faults).
"""
from .acquisition import AutoRefresh, SequenceAcquisition
from .board import (SEQUENCE_INTERRUPT, SHORT_CIRCUIT_INTERRUPT, TIMER_INTERRUPT, Board,
                    BoardInformation, ChannelReader, Transducer, board_count,
                    board_information, boards, dll_version)
from .calibration import (CalibrationError, CalibrationStatus, CalibrationWorker,
                          StepCalibration)
from .errors import InterruptRoutineError, QMD5820Error
from ._library import path as library_path

__version__ = "2026.4.1.0"

__all__ = [
    "AutoRefresh", "Board", "BoardInformation", "CalibrationError", "CalibrationStatus",
    "CalibrationWorker", "StepCalibration", "ChannelReader", "InterruptRoutineError",
    "QMD5820Error", "SEQUENCE_INTERRUPT", "SHORT_CIRCUIT_INTERRUPT", "SequenceAcquisition",
    "TIMER_INTERRUPT", "Transducer", "board_count", "board_information", "boards",
    "dll_version", "library_path",
]
