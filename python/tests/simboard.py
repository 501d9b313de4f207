"""What the package's tests share: factory simulated boards for every test, the expected
metric value of a position, and the simulated driver's request trace (what reached the
board)."""
import ctypes as C
import unittest

import qmd5820
from qmd5820 import sim

RANGES = {1: 2.0, 5: 10.0, 12: 1.0}  # factory transducer types: index -> range
UNINITIALISED = 3  # channel of board 0 no test initialises: the library keeps a channel
#                    initialised across simulator resets, and the error tests need one
TRACE_IOCTL, TRACE_READ = 4, 5


def expected(position, range_):
    """What a read of `position` converts to: full scale 32767 at the range."""
    magnitude = min(round(abs(position) / range_ * 32767), 32767)
    return (-1 if position < 0 else 1) * range_ * magnitude / 32767


class _TraceEntry(C.Structure):
    _fields_ = [("kind", C.c_uint32), ("board", C.c_uint32), ("handle", C.c_uint64),
                ("code", C.c_uint32), ("in_size", C.c_uint32), ("out_size", C.c_uint32),
                ("result", C.c_int32), ("in_", C.c_uint8 * 1024), ("out", C.c_uint8 * 1024)]


_lib = qmd5820._library.load()
_lib.qmdsim_trace_enable.argtypes = [C.c_uint32]
_lib.qmdsim_trace_count.restype = C.c_uint32
_lib.qmdsim_trace_get.argtypes = [C.c_uint32, C.POINTER(_TraceEntry)]
_lib.qmdsim_trace_get.restype = C.c_int32


def trace_start():
    """Record every driver request from now on."""
    _lib.qmdsim_trace_enable(4096)
    _lib.qmdsim_trace_clear()


def requests(kinds=(TRACE_IOCTL, TRACE_READ)):
    """(board, control code, bytes in) of the requests recorded since trace_start()."""
    out = []
    entry = _TraceEntry()
    for i in range(_lib.qmdsim_trace_count()):
        if _lib.qmdsim_trace_get(i, C.byref(entry)) == 0 and entry.kind in kinds:
            out.append((entry.board, entry.code, bytes(entry.in_[:entry.in_size])))
    return out


class SimulatedBoardTest(unittest.TestCase):
    def setUp(self):
        # The first library call attaches the simulated boards' kept state, the reset
        # detaches it: the tests run on factory boards and keep nothing.
        qmd5820.board_count()
        sim.reset()

    def tearDown(self):
        _lib.qmdsim_trace_enable(0)
        sim.stop_moving()
        sim.fault_clear()
        # Nothing a test did may leave an open or a running acquisition behind.
        for board in range(sim.board_count()):
            self.assertEqual(sim.open_handles(board), 0, f"board {board} left open")
            self.assertEqual(sim.acquisition_mode(board), 0, f"board {board} still acquiring")
