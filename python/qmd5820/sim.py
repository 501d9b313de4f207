"""The simulated board's control API (Linux): make things happen on the boards the
library runs on. Positions in metric units, digital inputs, short circuits, faults,
acquisition speed, moving transducers, the calibration front end and a virtual clock, and the checks tests need (open handles, state).

Only for the simulated board: importing this module with a library that has no simulator
(the Windows DLL) raises ImportError.
"""
from __future__ import annotations

import ctypes as C
import math
import threading
import time
from dataclasses import dataclass
from typing import Optional

from . import _library

ANY_BOARD = 0xFFFFFFFF
ANY_CODE = 0
FAULT_CALL = 1    # the device I/O control call itself fails
FAULT_STATUS = 2  # the driver answers `status` and does nothing


class _BoardConfig(C.Structure):
    _fields_ = [("identifier", C.c_char * 52), ("info_values", C.c_uint32 * 7),
                ("info_value8", C.c_uint8), ("driver_version", C.c_uint32),
                ("firmware_version", C.c_uint32), ("serial_number", C.c_uint32),
                ("hardware_revision", C.c_uint8)]


class _Interrupt(C.Structure):
    _fields_ = [("info", C.c_uint8), ("value1", C.c_uint32), ("value2", C.c_uint32),
                ("data", C.c_uint32 * 32), ("data_count", C.c_uint32)]


class _ChannelState(C.Structure):
    _fields_ = [("initialised", C.c_uint8), ("selection_type", C.c_uint8),
                ("divider1", C.c_uint8), ("divider2", C.c_uint8), ("range", C.c_double),
                ("position", C.c_double)]


class _TimerState(C.Structure):
    _fields_ = [("running", C.c_uint8), ("time_base", C.c_uint8), ("reload_value", C.c_uint16),
                ("interrupt_enabled", C.c_uint8), ("expirations", C.c_uint16)]


class _AcquisitionState(C.Structure):
    _fields_ = [("mode", C.c_uint8), ("channel_count", C.c_uint8),
                ("channels", C.c_uint8 * 16), ("transducer_indexes", C.c_uint8 * 16),
                ("sequences_before_interrupt", C.c_uint16), ("sequence_size", C.c_uint8),
                ("soft_trigger_mode", C.c_uint8), ("extern_trigger_mode", C.c_uint8),
                ("parameters", C.c_uint32 * 3), ("sequences_done", C.c_uint32),
                ("triggers", C.c_uint32), ("division_factor", C.c_uint8),
                ("auto_refresh_address", C.c_uint64)]


class _FrontendParams(C.Structure):
    _fields_ = [("level_error", C.c_double * 2), ("span_error", C.c_double * 2),
                ("symmetry_zero", C.c_double * 2), ("board_zero", C.c_double),
                ("conversions_per_second", C.c_double)]


class _AdjustmentState(C.Structure):
    _fields_ = [("mode", C.c_uint8), ("worker", C.c_uint8), ("channel", C.c_uint8),
                ("selection_type", C.c_uint8), ("values", C.c_uint32 * 2),
                ("address", C.c_uint64), ("counter", C.c_uint16), ("table_count", C.c_uint8),
                ("table_amplitude", C.c_double * 2)]


_V, _U8, _U16, _U32, _I32, _D = None, C.c_uint8, C.c_uint16, C.c_uint32, C.c_int32, C.c_double
_PROTOTYPES = {
    "qmdsim_reset": (_V, []),
    "qmdsim_board_count": (_U32, []),
    "qmdsim_default_board_config": (_V, [_U32, C.POINTER(_BoardConfig)]),
    "qmdsim_add_board": (_I32, [C.POINTER(_BoardConfig)]),
    "qmdsim_open_handles": (_U32, [_U32]),
    "qmdsim_set_position": (_V, [_U32, _U8, _D]),
    "qmdsim_channel": (_V, [_U32, _U8, C.POINTER(_ChannelState)]),
    "qmdsim_set_digital_inputs": (_V, [_U32, _U8]),
    "qmdsim_digital_outputs": (_U8, [_U32]),
    "qmdsim_digital_output_memory": (_U8, [_U32]),
    "qmdsim_timer": (_V, [_U32, C.POINTER(_TimerState)]),
    "qmdsim_acquisition": (_V, [_U32, C.POINTER(_AcquisitionState)]),
    "qmdsim_set_sequence_period_us": (_V, [_U32, _U32]),
    "qmdsim_stream_bytes": (_U32, [_U32]),
    "qmdsim_set_acquisition_running": (_V, [_U32, _I32]),
    "qmdsim_inject_short_circuit": (_V, [_U32, _I32]),
    "qmdsim_clear_short_circuit": (_V, [_U32]),
    "qmdsim_set_line_test_threshold": (_V, [_U32, _U16]),
    "qmdsim_pending_interrupts": (_U32, [_U32]),
    "qmdsim_raise_interrupt": (_V, [_U32, C.POINTER(_Interrupt)]),
    "qmdsim_fault_request": (_V, [_U32, _U32, _U32, _I32, _U8]),
    "qmdsim_fault_open": (_V, [_U32, _I32]),
    "qmdsim_fault_enumeration": (_V, [_I32]),
    "qmdsim_fault_clear": (_V, []),
    "qmdsim_logic_word_count": (_U32, [_U32]),
    "qmdsim_frontend_enable": (_V, [_U32, _I32]),
    "qmdsim_frontend_params_get": (_V, [_U32, C.POINTER(_FrontendParams)]),
    "qmdsim_frontend_params_set": (_V, [_U32, C.POINTER(_FrontendParams)]),
    "qmdsim_frontend_zero_position": (_D, [_U32, _U8]),
    "qmdsim_set_transducer_error": (_V, [_U32, _U8, _D, _D]),
    "qmdsim_transducer_error": (_V, [_U32, _U8, C.POINTER(_D), C.POINTER(_D)]),
    "qmdsim_adjustment": (_V, [_U32, C.POINTER(_AdjustmentState)]),
    "qmdsim_eeprom_get": (_U16, [_U32, _U16]),
    "qmdsim_set_virtual_clock": (_V, [_I32]),
    "qmdsim_now_us": (C.c_uint64, []),
    "qmdsim_advance_us": (_V, [C.c_uint64]),
}


def _load() -> C.CDLL:
    lib = _library.load()
    for name, (restype, argtypes) in _PROTOTYPES.items():
        try:
            fn = getattr(lib, name)
        except AttributeError as e:
            raise ImportError(f"the loaded QMD5820 library has no simulated board ({name})") from e
        fn.restype = restype
        fn.argtypes = argtypes
    return lib


_sim = _load()


def reset() -> None:
    """Back to the start state (demo boards, factory EEPROM, no faults). Close every Board
    first: the simulated driver forgets every open handle."""
    stop_moving()
    _sim.qmdsim_reset()


def board_count() -> int:
    return _sim.qmdsim_board_count()


def add_board(identifier: str, serial_number: int, hardware_revision: int = 0) -> int:
    """Add a board with the factory EEPROM (built for its serial number and revision,
    0 = "A"); returns its index. It lasts until reset()."""
    config = _BoardConfig()
    _sim.qmdsim_default_board_config(0, C.byref(config))
    config.identifier = identifier.encode("latin-1")[:52]
    config.serial_number = serial_number
    config.hardware_revision = hardware_revision
    index = _sim.qmdsim_add_board(C.byref(config))
    if index < 0:
        raise RuntimeError("no more boards can be added")
    return index


def open_handles(board: int) -> int:
    """Driver handles open on a board (leak checks)."""
    return _sim.qmdsim_open_handles(board)


def set_position(board: int, channel: int, position: float) -> None:
    """Place the transducer of a channel, in metric units."""
    _sim.qmdsim_set_position(board, channel, position)


def position(board: int, channel: int) -> float:
    s = _ChannelState()
    _sim.qmdsim_channel(board, channel, C.byref(s))
    return s.position


def channel_initialised(board: int, channel: int) -> bool:
    s = _ChannelState()
    _sim.qmdsim_channel(board, channel, C.byref(s))
    return bool(s.initialised)


def set_digital_inputs(board: int, inputs: int) -> None:
    _sim.qmdsim_set_digital_inputs(board, inputs)


def digital_outputs(board: int) -> int:
    return _sim.qmdsim_digital_outputs(board)


def digital_output_memory(board: int) -> int:
    return _sim.qmdsim_digital_output_memory(board)


@dataclass(frozen=True)
class TimerState:
    running: bool
    time_base: int
    reload_value: int
    interrupt_enabled: bool
    expirations: int


def timer(board: int) -> TimerState:
    s = _TimerState()
    _sim.qmdsim_timer(board, C.byref(s))
    return TimerState(bool(s.running), s.time_base, s.reload_value, bool(s.interrupt_enabled),
                      s.expirations)


def acquisition_mode(board: int) -> int:
    """0 none, 1 auto-refresh, 2 sequence acquisition."""
    s = _AcquisitionState()
    _sim.qmdsim_acquisition(board, C.byref(s))
    return s.mode


def sequences_done(board: int) -> int:
    s = _AcquisitionState()
    _sim.qmdsim_acquisition(board, C.byref(s))
    return s.sequences_done


def set_sequence_period_us(board: int, period_us: int) -> None:
    """How long one sequence takes (default 1000 us)."""
    _sim.qmdsim_set_sequence_period_us(board, period_us)


def inject_short_circuit(board: int, persistent: bool = False) -> None:
    _sim.qmdsim_inject_short_circuit(board, 1 if persistent else 0)


def clear_short_circuit(board: int) -> None:
    _sim.qmdsim_clear_short_circuit(board)


def raise_interrupt(board: int, info: int, value1: int = 0, value2: int = 0,
                    data: tuple = (), data_count: Optional[int] = None) -> None:
    """Queue an interrupt record on a board (as its own sources do) and signal it.
    `data_count` defaults to len(data); it is passed as given, even above 32."""
    record = _Interrupt(info, value1, value2)
    for i, word in enumerate(data[:32]):
        record.data[i] = word
    record.data_count = len(data) if data_count is None else data_count
    _sim.qmdsim_raise_interrupt(board, C.byref(record))


def fault_request(board: int, code: int, nth: int = 1, kind: int = FAULT_STATUS,
                  status: int = 1) -> None:
    """Fault the `nth` request of `code` from now (0: every one): the call fails
    (FAULT_CALL) or the driver answers `status` (FAULT_STATUS)."""
    _sim.qmdsim_fault_request(board, code, nth, kind, status)


def fault_open(board: int, step: int) -> None:
    """Opening `board` fails at `step` (-3 to -7) until cleared with 0."""
    _sim.qmdsim_fault_open(board, step)


def fault_clear() -> None:
    _sim.qmdsim_fault_clear()


# ---- calibration front end and clock -------------------------------------------------------

def frontend_enable(board: int, on: bool = True) -> None:
    """Channel codes with (True) or without (False, the default) the analog front end's
    errors: level, span and symmetry errors of the groups, the board's zero offset and each
    transducer's gain error. What a calibration corrects."""
    _sim.qmdsim_frontend_enable(board, 1 if on else 0)


def set_frontend_errors(board: int, *, level_error: Optional[tuple[float, float]] = None,
                        span_error: Optional[tuple[float, float]] = None,
                        symmetry_zero: Optional[tuple[float, float]] = None,
                        board_zero: Optional[float] = None,
                        conversions_per_second: Optional[float] = None) -> None:
    """Change the front end's errors (per group 0 and 1 where a pair is given); those not
    given stay. A symmetry zero outside 0-255 cannot be reached by a calibration."""
    p = _FrontendParams()
    _sim.qmdsim_frontend_params_get(board, C.byref(p))
    for name, value in (("level_error", level_error), ("span_error", span_error),
                        ("symmetry_zero", symmetry_zero)):
        if value is not None:
            getattr(p, name)[0], getattr(p, name)[1] = value
    if board_zero is not None:
        p.board_zero = board_zero
    if conversions_per_second is not None:
        p.conversions_per_second = conversions_per_second
    _sim.qmdsim_frontend_params_set(board, C.byref(p))


def frontend_zero_position(board: int, channel: int) -> float:
    """Where the transducer of `channel` must be for the board to see its electrical zero
    (model 1 calibrations zero the transducer by moving it there); NaN for a channel never
    initialised."""
    return _sim.qmdsim_frontend_zero_position(board, channel)


def set_transducer_error(board: int, channel: int, gain_error: float,
                         zero_offset: float = 0.0) -> None:
    """The transducer on `channel`: relative gain error, zero offset (fraction of range)."""
    _sim.qmdsim_set_transducer_error(board, channel, gain_error, zero_offset)


def transducer_error(board: int, channel: int) -> tuple[float, float]:
    gain, zero = C.c_double(), C.c_double()
    _sim.qmdsim_transducer_error(board, channel, C.byref(gain), C.byref(zero))
    return gain.value, zero.value


ADJUST_CLOSED, ADJUST_OPENED, ADJUST_LEVELS, ADJUST_POSITION = 0, 1, 2, 3


def adjustment_mode(board: int) -> int:
    """The board's calibration adjustment: ADJUST_CLOSED (nothing open), ADJUST_OPENED,
    ADJUST_LEVELS or ADJUST_POSITION."""
    s = _AdjustmentState()
    _sim.qmdsim_adjustment(board, C.byref(s))
    return s.mode


def adjustment_values(board: int) -> tuple[int, int]:
    """The two live values of the adjustment as the application reads them now."""
    s = _AdjustmentState()
    _sim.qmdsim_adjustment(board, C.byref(s))
    return s.values[0], s.values[1]


def eeprom_word(board: int, address: int) -> int:
    """A 16-bit word of the board's EEPROM."""
    return _sim.qmdsim_eeprom_get(board, address)


def set_virtual_clock(on: bool = True) -> None:
    """A virtual clock (True) instead of real time: the library's waits pass at once, so a
    calibration that waits seconds on the board takes milliseconds. reset() goes back to
    real time."""
    _sim.qmdsim_set_virtual_clock(1 if on else 0)


def now_us() -> int:
    """The simulator's clock in microseconds."""
    return _sim.qmdsim_now_us()


def advance_us(us: int) -> None:
    """Move the virtual clock forward."""
    _sim.qmdsim_advance_us(us)


# ---- moving transducers ---------------------------------------------------------------------

_movers: list[tuple[int, int, float, float, float]] = []
_mover_lock = threading.Lock()
_mover_thread: Optional[threading.Thread] = None
_mover_stop = threading.Event()


def _run_movers() -> None:
    start = time.monotonic()
    while not _mover_stop.is_set():
        t = time.monotonic() - start
        with _mover_lock:
            movers = list(_movers)
        for board, channel, centre, amplitude, period in movers:
            set_position(board, channel, centre + amplitude * math.sin(2 * math.pi * t / period))
        _mover_stop.wait(0.002)


def move(board: int, channel: int, centre: float, amplitude: float,
         period_s: float = 0.2) -> None:
    """Make a transducer swing sinusoidally around `centre` (a background thread updates
    its position every 2 ms until stop_moving())."""
    global _mover_thread
    if period_s <= 0:
        raise ValueError("period_s must be above 0")
    set_position(board, channel, centre)  # in place at once, before the thread runs
    with _mover_lock:
        _movers[:] = [m for m in _movers if (m[0], m[1]) != (board, channel)]
        _movers.append((board, channel, centre, amplitude, period_s))
    if _mover_thread is None or not _mover_thread.is_alive():
        _mover_stop.clear()
        _mover_thread = threading.Thread(target=_run_movers, name="qmd5820-sim-mover",
                                         daemon=True)
        _mover_thread.start()


def stop_moving() -> None:
    """Stop every moving transducer (they stay where they are)."""
    global _mover_thread
    _mover_stop.set()
    if _mover_thread is not None:
        _mover_thread.join()
        _mover_thread = None
    with _mover_lock:
        _movers.clear()
