"""The simulated board's control API (Linux): make things happen on the boards the
library runs on. Positions in metric units, digital inputs, short circuits, faults,
acquisition speed (the sequence rate), moving transducers, the calibration front end and a
virtual clock, and the checks tests need (open handles, state). Arguments are checked like
the rest of the package's (ArgumentError).

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

from . import _args
from ._sim_frontend import (ADJUST_CLOSED, ADJUST_LEVELS, ADJUST_OPENED,
                            ADJUST_POSITION, adjustment_mode, adjustment_values, advance_us,
                            eeprom_word, frontend_enable, frontend_zero_position, now_us,
                            set_frontend_errors, set_transducer_error, set_virtual_clock,
                            transducer_error)
from ._sim_lib import (ANY_BOARD, ANY_CODE, FAULT_CALL, FAULT_STATUS,
                       _AcquisitionState, _BoardConfig, _ChannelState, _Interrupt, _sim,
                       _TimerState, board as _board, number as _number)

__all__ = [
    "ADJUST_CLOSED", "ADJUST_LEVELS", "ADJUST_OPENED", "ADJUST_POSITION", "ANY_BOARD",
    "ANY_CODE", "FAULT_CALL", "FAULT_STATUS", "TimerState", "acquisition_mode", "add_board",
    "adjustment_mode", "adjustment_values", "advance_us", "board_count", "channel_initialised",
    "clear_short_circuit", "digital_output_memory", "digital_outputs", "eeprom_word",
    "fault_clear", "fault_open", "fault_request", "frontend_enable", "frontend_zero_position",
    "inject_short_circuit", "move", "now_us", "open_handles", "position", "raise_interrupt",
    "reset", "sequences_done", "set_digital_inputs", "set_frontend_errors", "set_position",
    "set_sequence_period_us", "set_transducer_error", "set_virtual_clock", "stop_moving",
    "timer", "transducer_error",
]


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
    config.identifier = _args.text("identifier", identifier, 52)
    config.serial_number = _args.u32("serial_number", serial_number)
    config.hardware_revision = _args.integer("hardware_revision", hardware_revision, 0, 15,
                                             "0 to 15 (revision A to P)")
    index = _sim.qmdsim_add_board(C.byref(config))
    if index < 0:
        raise RuntimeError("no more boards can be added")
    return index


def open_handles(board: int) -> int:
    """Driver handles open on a board (leak checks)."""
    return _sim.qmdsim_open_handles(_board(board))


def set_position(board: int, channel: int, position: float) -> None:
    """Place the transducer of a channel, in metric units."""
    _sim.qmdsim_set_position(_board(board), _args.channel(channel), _number("position", position))


def position(board: int, channel: int) -> float:
    s = _ChannelState()
    _sim.qmdsim_channel(_board(board), _args.channel(channel), C.byref(s))
    return s.position


def channel_initialised(board: int, channel: int) -> bool:
    s = _ChannelState()
    _sim.qmdsim_channel(_board(board), _args.channel(channel), C.byref(s))
    return bool(s.initialised)


def set_digital_inputs(board: int, inputs: int) -> None:
    _sim.qmdsim_set_digital_inputs(_board(board), _args.mask(inputs, "inputs"))


def digital_outputs(board: int) -> int:
    return _sim.qmdsim_digital_outputs(_board(board))


def digital_output_memory(board: int) -> int:
    return _sim.qmdsim_digital_output_memory(_board(board))


@dataclass(frozen=True)
class TimerState:
    running: bool
    time_base: int
    reload_value: int
    interrupt_enabled: bool
    expirations: int


def timer(board: int) -> TimerState:
    s = _TimerState()
    _sim.qmdsim_timer(_board(board), C.byref(s))
    return TimerState(bool(s.running), s.time_base, s.reload_value, bool(s.interrupt_enabled),
                      s.expirations)


def acquisition_mode(board: int) -> int:
    """0 none, 1 auto-refresh, 2 sequence acquisition."""
    s = _AcquisitionState()
    _sim.qmdsim_acquisition(_board(board), C.byref(s))
    return s.mode


def sequences_done(board: int) -> int:
    s = _AcquisitionState()
    _sim.qmdsim_acquisition(_board(board), C.byref(s))
    return s.sequences_done


def set_sequence_period_us(board: int, period_us: int) -> None:
    """How long one sequence takes (default 1000 us): the simulated board's sequence rate."""
    _sim.qmdsim_set_sequence_period_us(
        _board(board), _args.integer("period_us", period_us, 1, _args.U32_MAX))


def inject_short_circuit(board: int, persistent: bool = False) -> None:
    _sim.qmdsim_inject_short_circuit(_board(board), _args.flag("persistent", persistent))


def clear_short_circuit(board: int) -> None:
    _sim.qmdsim_clear_short_circuit(_board(board))


def raise_interrupt(board: int, info: int, value1: int = 0, value2: int = 0,
                    data: tuple = (), data_count: Optional[int] = None) -> None:
    """Queue an interrupt record on a board (as its own sources do) and signal it.
    `data_count` defaults to len(data); it is passed as given, even above 32."""
    record = _Interrupt(_args.integer("info", info, 0, _args.U8_MAX),
                        _args.u32("value1", value1), _args.u32("value2", value2))
    for i, word in enumerate(data[:32]):
        record.data[i] = _args.u32(f"data[{i}]", word)
    record.data_count = len(data) if data_count is None else _args.u32("data_count", data_count)
    _sim.qmdsim_raise_interrupt(_board(board), C.byref(record))


def fault_request(board: int, code: int, nth: int = 1, kind: int = FAULT_STATUS,
                  status: int = 1) -> None:
    """Fault the `nth` request of `code` from now (0: every one): the call fails
    (FAULT_CALL) or the driver answers `status` (FAULT_STATUS)."""
    _sim.qmdsim_fault_request(_board(board, allow_any=True), _args.u32("code", code),
                              _args.u32("nth", nth), _args.one_of("kind", kind, (1, 2)),
                              _args.integer("status", status, 0, _args.U8_MAX))


def fault_open(board: int, step: int) -> None:
    """Opening `board` fails at `step` (-3 to -7) until cleared with 0."""
    _sim.qmdsim_fault_open(_board(board), _args.one_of("step", step, (0, -3, -4, -5, -6, -7)))


def fault_clear() -> None:
    _sim.qmdsim_fault_clear()


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
    board, channel = _board(board), _args.channel(channel)
    centre, amplitude = _number("centre", centre), _number("amplitude", amplitude)
    period_s = _args.seconds(period_s, "period_s")
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
