"""The simulated board's C control API as ctypes declarations, and the checks of the
arguments qmd5820.sim passes to it (a board of the simulation, a channel 0 to 15, ...).
Importing it with a library that has no simulator (the Windows DLL) raises ImportError."""
from __future__ import annotations

import ctypes as C
from typing import Any

from . import _args, _library

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


def board(value: Any, name: str = "board", allow_any: bool = False) -> int:
    """A board of the simulation (ANY_BOARD too where `allow_any`)."""
    if allow_any and not isinstance(value, bool) and value == ANY_BOARD:
        return ANY_BOARD
    count = _sim.qmdsim_board_count()
    return _args.integer(name, value, 0, count - 1,
                         f"a simulated board from 0 to {count - 1}"
                         + (" or ANY_BOARD" if allow_any else ""))


def number(name: str, value: Any) -> float:
    """Any float the simulation takes (NaN and infinities too: the board's side must cope
    with them); strings, None and booleans are refused."""
    if isinstance(value, (bool, str, bytes)) or value is None:
        raise _args.ArgumentError(name, "a number", value)
    try:
        return float(value)
    except (TypeError, ValueError):
        raise _args.ArgumentError(name, "a number", value) from None
