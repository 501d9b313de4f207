"""Boards: open/close, identity, digital I/O, timer, logic load, primary line, the
transducer database, channels and interrupt routines."""
from __future__ import annotations

import ctypes as C
import sys
import threading
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Callable, Iterable, Optional, Sequence, Union

from . import _library
from .errors import InterruptRoutineError, QMD5820Error, records_result, unrecorded_text

if TYPE_CHECKING:  # pragma: no cover
    from .calibration import CalibrationWorker, StepCalibration

try:  # numpy is optional: results are numpy arrays when it is there
    import numpy as _np
except ImportError:  # pragma: no cover - depends on the machine
    _np = None

CHANNELS = 16
SEQUENCE_INTERRUPT = 1
TIMER_INTERRUPT = 2
SHORT_CIRCUIT_INTERRUPT = 3

InterruptCallback = Callable[[int, int, int, tuple], None]
"""``callback(info, value1, value2, data)``; ``data`` is a tuple of the valid data words."""


def _lib() -> C.CDLL:
    return _library.load()


def _check(code: int, function: str, handle: int = 0) -> int:
    """Raise QMD5820Error for a negative result; return the result otherwise."""
    if code >= 0:
        return code
    if records_result(function) and handle:
        raw = _lib().pc_QMD5820_GetLastError(handle)
        text = raw.decode("latin-1") if raw else ""
        # -1 for an unknown handle is not recorded: the board's text then tells of an
        # earlier call, so it is used only when it is this function's own.
        if not (text.startswith(function + ": ") and text.endswith(f"({code})")):
            text = unrecorded_text(function, code) if code != -1 else \
                f"{function}: The h_DeviceHandle parameter is invalid (-1)"
    else:
        text = unrecorded_text(function, code)
    raise QMD5820Error(code, function, text)


def _call(function: str, *args: Any) -> int:
    """Call a board-less function and check its result."""
    return _check(getattr(_lib(), function)(*args), function)


def dll_version() -> int:
    """The library version, e.g. 0x07EA0426 for 2026.04.1.0."""
    v = C.c_uint32()
    _call("i_QMD5820_GetDLLVersion", C.byref(v))
    return v.value


def board_count() -> int:
    """Number of boards present."""
    n = C.c_uint8()
    _call("i_QMD5820_GetNumberOfBoards", C.byref(n))
    return n.value


@dataclass(frozen=True)
class BoardInformation:
    """The board information record: identifier and the eight board values."""
    index: int
    identifier: str
    values: tuple[int, ...]  # board values 1 to 7 (32 bits each), as the library's parameters
    value8: int


def board_information(index: int) -> BoardInformation:
    """Identity of board `index`; takes and releases an open of its own."""
    ident = C.create_string_buffer(64)
    vals = [C.c_uint32() for _ in range(7)]
    v8 = C.c_uint8()
    _call("i_QMD5820_GetBoardInformation", index, len(ident), ident,
          *[C.byref(v) for v in vals], C.byref(v8))
    return BoardInformation(index, ident.value.decode("latin-1"), tuple(v.value for v in vals),
                            v8.value)


def boards() -> list[BoardInformation]:
    """Every board present, with its identity."""
    return [board_information(i) for i in range(board_count())]


@dataclass(frozen=True)
class Transducer:
    """A transducer type of the board's database (units as stored: range in the metric
    unit of the readings, sensitivity in mV/V per unit, frequency in Hz, voltage in V)."""
    index: int
    range: float
    sensitivity: float
    frequency: float
    primary_voltage: float
    calibration_state: int

    @property
    def calibrated(self) -> bool:
        return bool(self.calibration_state & 1)


class _Routine:
    """One installed interrupt routine: the ctypes callback kept alive, the Python callback,
    and the exceptions it raised (never let through into the library's thread)."""

    def __init__(self, callback: Optional[InterruptCallback]) -> None:
        self.callback = callback
        self.errors: list[BaseException] = []
        self.lock = threading.Lock()
        self.c_routine = _library.INTERRUPT_ROUTINE(self._on_interrupt)

    def _on_interrupt(self, handle: int, info: int, value1: int, value2: int,
                      data: Any, count: int) -> None:
        try:
            words = tuple(data[i] for i in range(min(count, 32))) if data else ()
            if self.callback is not None:
                self.callback(info, value1, value2, words)
        except BaseException as e:  # noqa: BLE001 - nothing may unwind into C
            with self.lock:
                if len(self.errors) < 100:
                    self.errors.append(e)


class Board:
    """An open board. Use it as a context manager: the open it took is released on exit.

    ``Board(index=0)`` or ``Board(identifier="QMD5820-DEMO-0")``. Opens are counted by the
    library: opening an open board gives the same handle, only the last close releases it.
    Calls on one board must not run on several threads at once (the interrupt callback
    excepted, see ``set_interrupt_routine``).
    """

    def __init__(self, index: Optional[int] = None, identifier: Optional[str] = None) -> None:
        if (index is None) == (identifier is None):
            raise ValueError("give exactly one of index and identifier")
        handle = _library.HANDLE()
        if identifier is not None:
            _call("i_QMD5820_OpenBoardViaIdentifier", identifier.encode("latin-1"),
                  C.byref(handle))
        else:
            if not 0 <= index < 256:
                raise ValueError("board index must be 0 to 255")
            _call("i_QMD5820_OpenBoardViaIndex", index, C.byref(handle))
        self.handle: int = handle.value
        self._index = index
        self._identifier = identifier
        self._routine: Optional[_Routine] = None
        self._readers: dict[tuple[int, ...], "ChannelReader"] = {}
        self._closed = False

    # ---- lifetime -------------------------------------------------------------------------

    def close(self) -> None:
        """Remove an interrupt routine this object installed, then release the open."""
        if self._closed:
            return
        try:
            if self._routine is not None:
                self.remove_interrupt_routine()
        finally:
            self._closed = True
            _check(_lib().i_QMD5820_CloseBoard(self.handle), "i_QMD5820_CloseBoard")

    def __enter__(self) -> "Board":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def __repr__(self) -> str:
        where = f"index={self._index}" if self._index is not None else f"identifier={self._identifier!r}"
        return f"<qmd5820.Board {where} handle=0x{self.handle:x}{' closed' if self._closed else ''}>"

    def _do(self, function: str, *args: Any) -> int:
        if self._closed:
            raise ValueError("the board is closed")
        return _check(getattr(_lib(), function)(self.handle, *args), function, self.handle)

    def _u8(self, function: str, *args: Any) -> int:
        v = C.c_uint8()
        self._do(function, *args, C.byref(v))
        return v.value

    @property
    def last_error(self) -> str:
        """The library's last-error text for this board."""
        raw = _lib().pc_QMD5820_GetLastError(self.handle)
        return raw.decode("latin-1") if raw else ""

    # ---- identity and versions --------------------------------------------------------------

    @property
    def index(self) -> int:
        """The board index (found by identifier when the board was opened that way)."""
        if self._index is None:
            for info in boards():
                if info.identifier == self._identifier:
                    self._index = info.index
                    break
            else:
                raise LookupError("the board's index cannot be found")
        return self._index

    @property
    def information(self) -> BoardInformation:
        """The board information record."""
        return board_information(self.index)

    @property
    def identifier(self) -> str:
        """The board's identifier text."""
        return self.information.identifier

    @property
    def driver_version(self) -> int:
        """The kernel driver's version."""
        v = C.c_uint32()
        self._do("i_QMD5820_GetDeviceDriverVersion", C.byref(v))
        return v.value

    @property
    def firmware_version(self) -> int:
        """The board firmware's version."""
        v = C.c_uint32()
        self._do("i_QMD5820_GetFirmwareVersion", C.byref(v))
        return v.value

    @property
    def serial_number(self) -> int:
        """The board's serial number."""
        v = C.c_uint32()
        self._do("i_QMD5820_GetBoardSerialNumber", C.byref(v))
        return v.value

    @property
    def hardware_revision(self) -> str:
        """"A" to "P"."""
        v = C.create_string_buffer(1)
        self._do("i_QMD5820_GetBoardHardwareRevision", v)
        return v.raw.decode("latin-1")

    # ---- digital inputs and outputs (channels 0 to 7) ---------------------------------------

    def read_inputs(self) -> int:
        """The 8 digital inputs as a bit mask (bit n = input n)."""
        return self._u8("i_QMD5820_Read8DigitalInputs")

    def read_input(self, channel: int) -> bool:
        """One digital input (0 to 7)."""
        return bool(self._u8("i_QMD5820_Read1DigitalInput", channel))

    def outputs_on(self, mask: int) -> None:
        """Switch on the outputs whose bits are set in `mask`; the others keep their state."""
        self._do("i_QMD5820_Set8DigitalOutputsOn", mask)

    def outputs_off(self, mask: int) -> None:
        """Switch off the outputs whose bits are set in `mask`; the others keep their state."""
        self._do("i_QMD5820_Set8DigitalOutputsOff", mask)

    def set_output(self, channel: int, on: bool) -> None:
        """Switch one output (0 to 7) on or off."""
        self._do("i_QMD5820_Set1DigitalOutputOn" if on else "i_QMD5820_Set1DigitalOutputOff",
                 channel)

    def read_outputs(self) -> int:
        """The state of the 8 outputs as a bit mask."""
        return self._u8("i_QMD5820_Get8DigitalOutputsStatus")

    def read_output(self, channel: int) -> bool:
        """The state of one output (0 to 7)."""
        return bool(self._u8("i_QMD5820_Get1DigitalOutputStatus", channel))

    def output_memory(self, on: bool) -> None:
        """Switch the digital output memory on or off."""
        self._do("i_QMD5820_SetDigitalOutputMemoryOn" if on else
                 "i_QMD5820_SetDigitalOutputMemoryOff")

    # ---- timer ---------------------------------------------------------------------------

    def start_timer(self, time_base: int, reload_value: int, interrupts: bool = False) -> None:
        """Start the timer: `time_base` 0 (1 us), 1 (1 ms) or 2 (1 s) per count; it counts
        `reload_value` down to 0 and reloads; a timer interrupt per period if asked."""
        self._do("i_QMD5820_InitAndStartTimer", time_base, reload_value, 1 if interrupts else 0)

    def stop_timer(self) -> None:
        """Stop the timer; it keeps its count."""
        self._do("i_QMD5820_StopTimer")

    def trigger_timer(self) -> None:
        """Reload the timer's count (a running timer keeps running)."""
        self._do("i_QMD5820_TriggerTimer")

    def timer_status(self) -> tuple[int, int, int]:
        """(status byte 1, status byte 2, status word)."""
        a, b, w = C.c_uint8(), C.c_uint8(), C.c_uint16()
        self._do("i_QMD5820_ReadTimerStatus", C.byref(a), C.byref(b), C.byref(w))
        return a.value, b.value, w.value

    def timer_value(self) -> int:
        """The timer's current count."""
        v = C.c_uint16()
        self._do("i_QMD5820_ReadTimerValue", C.byref(v))
        return v.value

    # ---- logic load channel -------------------------------------------------------------

    def logic_command(self, command: int) -> None:
        """Logic load command: 1 begin a load, 2 end it, 3 rewind the read pointer."""
        self._do("i_QMD5820_LoadLogicCommand", command)

    def logic_write(self, data: int) -> None:
        """Append one word to the open load."""
        self._do("i_QMD5820_LoadLogicWrite", data)

    def logic_read(self) -> int:
        """The next word of the loaded logic."""
        v = C.c_uint32()
        self._do("i_QMD5820_LoadLogicRead", C.byref(v))
        return v.value

    def logic_status(self) -> int:
        """Logic load status byte."""
        return self._u8("i_QMD5820_GetLoadLogicStatus")

    # ---- primary line ---------------------------------------------------------------------

    def test_primary_line(self) -> int:
        """Primary line status byte (bit 1: a short circuit is latched; bit 0: the detection
        responds under the line test). Takes 500 ms."""
        return self._u8("i_QMD5820_TestPrimaryLine")

    def rearm_primary_line(self) -> None:
        """Clear a latched short circuit."""
        self._do("i_QMD5820_RearmPrimaryLine")

    def calibrate_primary_line_test(self) -> None:
        """Adjust the line test threshold (about a second)."""
        self._do("i_QMD5820_CalibratePrimaryLineTest")

    def short_circuit_interrupts(self, enabled: bool) -> None:
        """Switch the short-circuit interrupts on or off."""
        self._do("i_QMD5820_EnableDisableShortCircuitInterrupts", 1 if enabled else 0)

    # ---- transducer database -------------------------------------------------------------------

    def transducer_indexes(self) -> list[int]:
        """The transducer indexes of the board's database, in table order."""
        buf = (C.c_uint8 * 255)()
        n = C.c_uint8()
        self._do("i_QMD5820_GetAvailableTransducerTypes", C.addressof(buf), len(buf), C.byref(n))
        return list(buf[: n.value])

    def transducer(self, index: int) -> Transducer:
        """One transducer type of the database."""
        r, s, f, v = C.c_double(), C.c_double(), C.c_double(), C.c_double()
        state = C.c_uint8()
        self._do("i_QMD5820_TransducerDatabaseReadTransducerInfo", index, C.byref(r),
                 C.byref(s), C.byref(f), C.byref(v), C.byref(state))
        return Transducer(index, r.value, s.value, f.value, v.value, state.value)

    def transducers(self) -> list[Transducer]:
        """Every transducer type of the database."""
        return [self.transducer(i) for i in self.transducer_indexes()]

    def add_transducer(self, index: int, range: float, sensitivity: float, frequency: float,
                       primary_voltage: float, impedance: float) -> Transducer:
        """Add a transducer type (written to the board's EEPROM; about a second)."""
        self._do("i_QMD5820_TransducerDatabaseAdd", index, range, sensitivity, frequency,
                 primary_voltage, impedance)
        return self.transducer(index)

    def delete_transducer(self, index: int) -> None:
        """Delete a transducer type from the database."""
        self._do("i_QMD5820_TransducerDatabaseDelete", index)

    # ---- channels ---------------------------------------------------------------------------

    def channel_count(self) -> int:
        """Number of transducer channels (16)."""
        return self._u8("i_QMD5820_GetNumberOfTransducerChannels")

    def init_channel(self, channel: int, transducer_index: int, frequency: float = 0.0) -> None:
        """Initialise `channel` (0 to 15) with a transducer type of the database;
        `frequency` 0.0 uses the transducer's own excitation frequency (Hz)."""
        self._do("i_QMD5820_Init1TransducerChannel", channel, transducer_index, frequency)

    def init_channels(self, uses: Union[dict[int, int], Iterable[tuple[int, int]]]) -> None:
        """Initialise several channels: {channel: transducer index} or (channel, index) pairs."""
        for channel, index in (uses.items() if isinstance(uses, dict) else uses):
            self.init_channel(channel, index)

    def read_raw(self, channel: int) -> int:
        """One raw 16-bit code (bit 15 the sign, bits 0-14 the magnitude, 32767 full scale)."""
        v = C.c_uint16()
        self._do("i_QMD5820_Read1TransducerChannel", channel, C.byref(v))
        return v.value

    def convert(self, channel: int, raw: int) -> float:
        """A raw code of `channel` in metric units (the range of its transducer type)."""
        v = C.c_double()
        self._do("i_QMD5820_Convert1RawToMetricValue", channel, raw, C.byref(v))
        return v.value

    def read(self, channel: int) -> float:
        """One channel in metric units."""
        return self.convert(channel, self.read_raw(channel))

    def reader(self, channels: Sequence[int]) -> "ChannelReader":
        """A prepared reader of several channels: the fastest way to read the same channels
        over and over."""
        return ChannelReader(self, channels)

    def _cached_reader(self, channels: Sequence[int]) -> "ChannelReader":
        key = tuple(channels)
        reader = self._readers.get(key)
        if reader is None:
            if len(self._readers) >= 64:
                self._readers.clear()
            reader = self._readers[key] = ChannelReader(self, key)
        return reader

    def read_many_raw(self, channels: Sequence[int]) -> list[int]:
        """Raw codes of several channels, in the order given."""
        return self._cached_reader(channels).read_raw()

    def read_many(self, channels: Sequence[int]) -> Any:
        """Several channels in metric units: a numpy array when numpy is there, else a list."""
        return self._cached_reader(channels).read()

    # ---- acquisition ----------------------------------------------------------------------

    def set_convert_time_division_factor(self, factor: int) -> None:
        """Conversion time division factor, 5 to 255."""
        self._do("i_QMD5820_SetConvertTimeDivisionFactor", factor)

    def trigger_acquisition(self) -> None:
        """Software trigger of a sequence acquisition."""
        self._do("i_QMD5820_TriggerTransducerAcquisition")

    def stop_acquisition(self) -> None:
        """Stop any acquisition (sequence data stay readable)."""
        self._do("i_QMD5820_StopTransducerAcquisition")

    def auto_refresh(self, uses: Union[dict[int, int], Sequence[tuple[int, int]]]) -> Any:
        """Start an auto-refresh acquisition (context manager, stops it on exit)."""
        from .acquisition import AutoRefresh
        return AutoRefresh(self, uses)

    def sequence(self, uses: Union[dict[int, int], Sequence[tuple[int, int]]],
                 sequences_per_interrupt: int = 10, trigger: str = "none",
                 on_interrupt: Optional[InterruptCallback] = None, timeout: float = 5.0) -> Any:
        """A sequence acquisition (context manager yielding blocks of metric values)."""
        from .acquisition import SequenceAcquisition
        return SequenceAcquisition(self, uses, sequences_per_interrupt, trigger, on_interrupt,
                                   timeout)

    # ---- calibration ----------------------------------------------------------------------

    def calibration_worker(self, transducer_index: int, group0_channel: int, position: float,
                           *, impedance: int, group1_channel: int = 0, model: int = 0,
                           poll_interval: float = 0.001) -> "CalibrationWorker":
        """A calibration by the library's worker thread (context manager and iterator of
        status updates; see qmd5820.calibration). Not started until entered or start()."""
        from .calibration import CalibrationWorker
        return CalibrationWorker(self, transducer_index, group0_channel, position,
                                 impedance=impedance, group1_channel=group1_channel,
                                 model=model, poll_interval=poll_interval)

    def step_calibration(self, transducer_index: int, first_channel: int, position: float,
                         second_channel: int = 0) -> "StepCalibration":
        """The step-by-step calibration (context manager; see qmd5820.calibration). Step 1
        runs when it is entered or on start()."""
        from .calibration import StepCalibration
        return StepCalibration(self, transducer_index, first_channel, position, second_channel)

    # ---- interrupts -----------------------------------------------------------------------

    def set_interrupt_routine(self, callback: Optional[InterruptCallback]) -> None:
        """Install `callback(info, value1, value2, data)` for this board's interrupts.

        It runs on the board's interrupt thread and must return well within 100 ms. An
        exception it raises never reaches the library: it is kept and raised as
        InterruptRoutineError by ``remove_interrupt_routine``.
        """
        routine = _Routine(callback)
        self._do_unrecorded("i_QMD5820_SetBoardIntRoutine", routine.c_routine)
        self._routine = routine

    def remove_interrupt_routine(self) -> None:
        """Remove the routine (waits for the interrupt thread to end), then raise the first
        exception the callback raised, if any."""
        routine = self._routine
        self._do_unrecorded("i_QMD5820_ResetBoardIntRoutine")
        self._routine = None
        if routine is not None and routine.errors:
            first = routine.errors[0]
            raise InterruptRoutineError(
                f"the interrupt callback raised {len(routine.errors)} time(s); first: {first!r}"
            ) from first

    @property
    def interrupt_errors(self) -> list[BaseException]:
        """Exceptions the installed callback raised so far."""
        return list(self._routine.errors) if self._routine else []

    def _do_unrecorded(self, function: str, *args: Any) -> None:
        if self._closed:
            raise ValueError("the board is closed")
        _check(getattr(_lib(), function)(self.handle, *args), function)


class ChannelReader:
    """Reads a fixed list of channels with two library calls: one read of every raw code,
    one conversion of them all."""

    def __init__(self, board: Board, channels: Sequence[int]) -> None:
        n = len(channels)
        if not 0 < n <= 255:
            raise ValueError("1 to 255 channels")
        self.board = board
        self.count = n
        self._channels = (C.c_uint8 * n)(*channels)
        self._raw = (C.c_uint16 * n)()
        self._metric = (C.c_double * n)()
        self._pc = C.addressof(self._channels)
        self._pr = C.addressof(self._raw)
        self._pm = C.addressof(self._metric)
        lib = _lib()
        self._read_fn = lib.i_QMD5820_ReadMoreTransducerChannels
        self._conv_fn = lib.i_QMD5820_ConvertMoreRawToMetricValues
        self._metric_np = _np.frombuffer(self._metric, dtype=_np.float64) if _np else None

    def read_raw(self) -> list[int]:
        h = self.board.handle
        _check(self._read_fn(h, self.count, self._pc, self._pr),
               "i_QMD5820_ReadMoreTransducerChannels", h)
        return list(self._raw)

    def read(self) -> Any:
        """Metric values: a new numpy array when numpy is there, else a list of floats."""
        h = self.board.handle
        code = self._read_fn(h, self.count, self._pc, self._pr)
        if code:
            _check(code, "i_QMD5820_ReadMoreTransducerChannels", h)
        code = self._conv_fn(h, self.count, self._pc, self._pr, self._pm)
        if code:
            _check(code, "i_QMD5820_ConvertMoreRawToMetricValues", h)
        return self._metric_np.copy() if self._metric_np is not None else list(self._metric)
