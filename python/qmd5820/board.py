"""Boards: finding and opening them, identity and versions, interrupt routines, and the
entry points of acquisition and calibration. Digital I/O, timer, logic load and primary
line are in _io.py, channels and the transducer database in channels.py."""
from __future__ import annotations

import ctypes as C
from dataclasses import dataclass
from typing import Any, Optional

from . import _args, _library
from ._calls import InterruptCallback, Link, Routine, call, check, lib
from ._io import DigitalIOAndTimer
from .acquisition import AutoRefresh
from .calibration import CalibrationWorker
from .channels import ChannelReader, ChannelsAndDatabase, Transducer, Uses
from .errors import ArgumentError, StateError
from .sequence import SEQUENCE_INTERRUPT, BlockCallback, SequenceAcquisition
from .step_calibration import StepCalibration

CHANNELS = _args.CHANNELS
TIMER_INTERRUPT = 2
SHORT_CIRCUIT_INTERRUPT = 3
IDENTIFIER_CHARACTERS = 52  # the identifier field of the board information

__all__ = ["Board", "BoardInformation", "ChannelReader", "Transducer", "board_count",
           "board_information", "boards", "dll_version", "SEQUENCE_INTERRUPT",
           "TIMER_INTERRUPT", "SHORT_CIRCUIT_INTERRUPT", "InterruptCallback"]


def dll_version() -> int:
    """The library version, e.g. 0x07EA0426 for 2026.04.1.0."""
    v = C.c_uint32()
    call("i_QMD5820_GetDLLVersion", C.byref(v))
    return v.value


def board_count() -> int:
    """Number of boards present."""
    n = C.c_uint8()
    call("i_QMD5820_GetNumberOfBoards", C.byref(n))
    return n.value


@dataclass(frozen=True)
class BoardInformation:
    """The board information record: identifier and the eight board values."""
    index: int
    identifier: str
    values: tuple[int, ...]  # board values 1 to 7 (32 bits each), as the library's parameters
    value8: int


def board_information(index: int) -> BoardInformation:
    """Identity of board `index` (0 to 29); takes and releases an open of its own."""
    index = _args.board_index(index)
    ident = C.create_string_buffer(IDENTIFIER_CHARACTERS + 12)
    vals = [C.c_uint32() for _ in range(7)]
    v8 = C.c_uint8()
    call("i_QMD5820_GetBoardInformation", index, len(ident), ident,
         *[C.byref(v) for v in vals], C.byref(v8))
    return BoardInformation(index, ident.value.decode("latin-1"), tuple(v.value for v in vals),
                            v8.value)


def boards() -> list[BoardInformation]:
    """Every board present, with its identity."""
    return [board_information(i) for i in range(board_count())]


class Board(DigitalIOAndTimer, ChannelsAndDatabase):
    """An open board. Use it as a context manager: the open it took is released on exit.

    ``Board(index=0)`` or ``Board(identifier="QMD5820-DEMO-0")``. Opens are counted by the
    library: opening an open board gives the same handle, only the last close releases it.
    Calls on one board are serialised by a lock (shared by every Board object of it), so
    the data callback of an acquisition may run beside calls from other threads.
    """

    def __init__(self, index: Optional[int] = None, identifier: Optional[str] = None) -> None:
        if (index is None) == (identifier is None):
            raise ArgumentError("index, identifier", "exactly one of the two",
                                (index, identifier))
        handle = _library.HANDLE()
        if identifier is not None:
            wanted = _args.text("identifier", identifier, IDENTIFIER_CHARACTERS)
            call("i_QMD5820_OpenBoardViaIdentifier", wanted, C.byref(handle))
            name = f"board {identifier!r}"
        else:
            index = _args.board_index(index)
            call("i_QMD5820_OpenBoardViaIndex", index, C.byref(handle))
            name = f"board {index}"
        self._link = Link(handle.value, name)
        self._index = index
        self._identifier = identifier
        self._routine: Optional[Routine] = None
        self._readers: dict[tuple[int, ...], ChannelReader] = {}

    # ---- lifetime -------------------------------------------------------------------------

    @property
    def handle(self) -> int:
        """The library's handle of this board."""
        return self._link.handle

    @property
    def closed(self) -> bool:
        return self._link.closed

    def close(self) -> None:
        """Remove an interrupt routine this object installed, then release the open."""
        if self._link.closed:
            return
        try:
            if self._routine is not None:
                self.remove_interrupt_routine()
        finally:
            self._link.closed = True
            check(lib().i_QMD5820_CloseBoard(self.handle), "i_QMD5820_CloseBoard")

    def __enter__(self) -> "Board":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def __repr__(self) -> str:
        where = f"index={self._index}" if self._index is not None else \
            f"identifier={self._identifier!r}"
        return f"<qmd5820.Board {where} handle=0x{self.handle:x}" \
               f"{' closed' if self.closed else ''}>"

    @property
    def last_error(self) -> str:
        """The library's last-error text for this board. After an exception prefer the
        exception's ``text``: to explain a failure the package may ask the library more
        (the transducer list, a conversion), and those calls record their own results."""
        return self._link.last_error()

    # ---- identity and versions ------------------------------------------------------------

    @property
    def index(self) -> int:
        """The board index (found by identifier when the board was opened that way)."""
        if self._index is None:
            for info in boards():
                if info.identifier == self._identifier:
                    self._index = info.index
                    break
            else:
                raise StateError(None, None, f"the index of {self._link.name} cannot be found")
        return self._index

    @property
    def information(self) -> BoardInformation:
        """The board information record."""
        return board_information(self.index)

    @property
    def identifier(self) -> str:
        """The board's identifier text."""
        return self.information.identifier

    def _u32(self, function: str) -> int:
        v = C.c_uint32()
        self._link.do(function, C.byref(v))
        return v.value

    @property
    def driver_version(self) -> int:
        """The kernel driver's version."""
        return self._u32("i_QMD5820_GetDeviceDriverVersion")

    @property
    def firmware_version(self) -> int:
        """The board firmware's version."""
        return self._u32("i_QMD5820_GetFirmwareVersion")

    @property
    def serial_number(self) -> int:
        """The board's serial number."""
        return self._u32("i_QMD5820_GetBoardSerialNumber")

    @property
    def hardware_revision(self) -> str:
        """"A" to "P"."""
        v = C.create_string_buffer(1)
        self._link.do("i_QMD5820_GetBoardHardwareRevision", v)
        return v.raw.decode("latin-1")

    # ---- acquisition ----------------------------------------------------------------------

    def set_convert_time_division_factor(self, factor: int) -> None:
        """Conversion time division factor, 5 to 255 (part of what sets the sequence rate
        on a real board)."""
        self._link.do("i_QMD5820_SetConvertTimeDivisionFactor",
                      _args.integer("factor", factor, 5, 255))

    def trigger_acquisition(self) -> None:
        """Software trigger of a sequence acquisition."""
        self._link.do("i_QMD5820_TriggerTransducerAcquisition")

    def stop_acquisition(self) -> None:
        """Stop any acquisition (sequence data stay readable)."""
        self._link.do("i_QMD5820_StopTransducerAcquisition")

    def auto_refresh(self, uses: Uses, over_range: str = "flag") -> AutoRefresh:
        """Start an auto-refresh acquisition (context manager, stops it on exit)."""
        return AutoRefresh(self._link, uses, over_range, self._missing_types)

    def sequence(self, uses: Uses, sequences_per_interrupt: int = 10, trigger: str = "none",
                 on_interrupt: Optional[InterruptCallback] = None, timeout: float = 5.0, *,
                 max_backlog: int = 64, on_overrun: str = "raise", over_range: str = "flag",
                 on_block: Optional[BlockCallback] = None,
                 parameters: tuple[int, int, int] = (0, 0, 0)) -> SequenceAcquisition:
        """A sequence acquisition (context manager handing out ``Block`` objects; see
        qmd5820.sequence.SequenceAcquisition for the backlog, the callback and the rate)."""
        return SequenceAcquisition(self._link, uses, sequences_per_interrupt, trigger,
                                   on_interrupt, timeout, max_backlog=max_backlog,
                                   on_overrun=on_overrun, over_range=over_range,
                                   on_block=on_block, parameters=parameters,
                                   explain_types=self._missing_types)

    # ---- calibration ----------------------------------------------------------------------

    def calibration_worker(self, transducer_index: int, group0_channel: int, position: float,
                           *, impedance: int, group1_channel: int = 0, model: int = 0,
                           poll_interval: float = 0.001) -> CalibrationWorker:
        """A calibration by the library's worker thread (context manager and iterator of
        status updates; see qmd5820.calibration). Not started until entered or start()."""
        return CalibrationWorker(self._link, transducer_index, group0_channel, position,
                                 impedance=impedance, group1_channel=group1_channel,
                                 model=model, poll_interval=poll_interval)

    def step_calibration(self, transducer_index: int, first_channel: int, position: float,
                         second_channel: int = 0) -> StepCalibration:
        """The step-by-step calibration (context manager; see qmd5820.step_calibration).
        Step 1 runs when it is entered or on start()."""
        return StepCalibration(self._link, transducer_index, first_channel, position,
                               second_channel)

    # ---- interrupts -----------------------------------------------------------------------

    def set_interrupt_routine(self, callback: Optional[InterruptCallback]) -> None:
        """Install `callback(info, value1, value2, data)` for this board's interrupts.

        It runs on the board's interrupt thread and must return well within 100 ms. An
        exception it raises never reaches the library: it is kept and raised as
        InterruptRoutineError by ``remove_interrupt_routine``. One routine per board: a
        second one (or a sequence acquisition, which installs its own) raises StateError.
        """
        callback = _args.callable_or_none("callback", callback)
        self._routine = self._link.install_routine(callback, "set_interrupt_routine")

    def remove_interrupt_routine(self) -> None:
        """Remove the routine (waits for the interrupt thread to end), then raise the first
        exception the callback raised, if any."""
        routine, self._routine = self._routine, None
        self._link.remove_routine(routine)

    @property
    def interrupt_errors(self) -> list[BaseException]:
        """Exceptions the installed callback raised so far."""
        return list(self._routine.errors) if self._routine else []
