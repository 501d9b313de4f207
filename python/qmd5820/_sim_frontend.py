"""The simulated board's calibration front end and its clock (part of qmd5820.sim)."""
from __future__ import annotations

import ctypes as C
from typing import Optional

from . import _args
from ._sim_lib import _AdjustmentState, _FrontendParams, _sim, board as _board, number as _number


def frontend_enable(board: int, on: bool = True) -> None:
    """Channel codes with (True) or without (False, the default) the analog front end's
    errors: level, span and symmetry errors of the groups, the board's zero offset and each
    transducer's gain error. What a calibration corrects."""
    _sim.qmdsim_frontend_enable(_board(board), _args.flag("on", on))


def set_frontend_errors(board: int, *, level_error: Optional[tuple[float, float]] = None,
                        span_error: Optional[tuple[float, float]] = None,
                        symmetry_zero: Optional[tuple[float, float]] = None,
                        board_zero: Optional[float] = None,
                        conversions_per_second: Optional[float] = None) -> None:
    """Change the front end's errors (per group 0 and 1 where a pair is given); those not
    given stay. A symmetry zero outside 0-255 cannot be reached by a calibration."""
    board = _board(board)
    p = _FrontendParams()
    _sim.qmdsim_frontend_params_get(board, C.byref(p))
    for name, value in (("level_error", level_error), ("span_error", span_error),
                        ("symmetry_zero", symmetry_zero)):
        if value is not None:
            if isinstance(value, (str, bytes)) or not hasattr(value, "__len__") or \
                    len(value) != 2:
                raise _args.ArgumentError(name, "a pair (group 0, group 1)", value)
            getattr(p, name)[0], getattr(p, name)[1] = (_number(name, v) for v in value)
    if board_zero is not None:
        p.board_zero = _number("board_zero", board_zero)
    if conversions_per_second is not None:
        p.conversions_per_second = _args.real("conversions_per_second",
                                              conversions_per_second, low=0.0, low_open=True)
    _sim.qmdsim_frontend_params_set(board, C.byref(p))


def frontend_zero_position(board: int, channel: int) -> float:
    """Where the transducer of `channel` must be for the board to see its electrical zero
    (model 1 calibrations zero the transducer by moving it there); NaN for a channel never
    initialised."""
    return _sim.qmdsim_frontend_zero_position(_board(board), _args.channel(channel))


def set_transducer_error(board: int, channel: int, gain_error: float,
                         zero_offset: float = 0.0) -> None:
    """The transducer on `channel`: relative gain error, zero offset (fraction of range)."""
    _sim.qmdsim_set_transducer_error(_board(board), _args.channel(channel),
                                     _number("gain_error", gain_error),
                                     _number("zero_offset", zero_offset))


def transducer_error(board: int, channel: int) -> tuple[float, float]:
    gain, zero = C.c_double(), C.c_double()
    _sim.qmdsim_transducer_error(_board(board), _args.channel(channel), C.byref(gain),
                                 C.byref(zero))
    return gain.value, zero.value


ADJUST_CLOSED, ADJUST_OPENED, ADJUST_LEVELS, ADJUST_POSITION = 0, 1, 2, 3


def adjustment_mode(board: int) -> int:
    """The board's calibration adjustment: ADJUST_CLOSED (nothing open), ADJUST_OPENED,
    ADJUST_LEVELS or ADJUST_POSITION."""
    s = _AdjustmentState()
    _sim.qmdsim_adjustment(_board(board), C.byref(s))
    return s.mode


def adjustment_values(board: int) -> tuple[int, int]:
    """The two live values of the adjustment as the application reads them now."""
    s = _AdjustmentState()
    _sim.qmdsim_adjustment(_board(board), C.byref(s))
    return s.values[0], s.values[1]


def eeprom_word(board: int, address: int) -> int:
    """A 16-bit word of the board's EEPROM."""
    return _sim.qmdsim_eeprom_get(_board(board), _args.integer("address", address, 0,
                                                                _args.U16_MAX))


def set_virtual_clock(on: bool = True) -> None:
    """A virtual clock (True) instead of real time: the library's waits pass at once, so a
    calibration that waits seconds on the board takes milliseconds. reset() goes back to
    real time."""
    _sim.qmdsim_set_virtual_clock(_args.flag("on", on))


def now_us() -> int:
    """The simulator's clock in microseconds."""
    return _sim.qmdsim_now_us()


def advance_us(us: int) -> None:
    """Move the virtual clock forward."""
    _sim.qmdsim_advance_us(_args.integer("us", us, 0, (1 << 63) - 1))
