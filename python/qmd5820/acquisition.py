"""Continuous acquisition: auto-refresh and sequence acquisition."""
from __future__ import annotations

import ctypes as C
import threading
import time
from typing import Any, Iterator, Optional, Sequence, Union

from . import _library
from .board import (SEQUENCE_INTERRUPT, Board, InterruptCallback, _check, _np)
from .errors import QMD5820Error

Uses = Union[dict[int, int], Sequence[tuple[int, int]]]

_TRIGGERS = {"none": 0, "soft": 1}


def _split(uses: Uses) -> tuple[list[int], list[int]]:
    pairs = list(uses.items()) if isinstance(uses, dict) else [tuple(u) for u in uses]
    if not 1 <= len(pairs) <= 16:
        raise ValueError("1 to 16 channels")
    return [c for c, _ in pairs], [t for _, t in pairs]


def _list16(values: list[int]) -> Any:
    """The library always reads 16 entries."""
    return (C.c_uint8 * 16)(*values)


class _Converter:
    """Converts raw codes of a repeating channel list to metric values through the library,
    up to 255 codes per call (whole sequences), into a flat array of doubles."""

    def __init__(self, board: Board, channels: list[int]) -> None:
        self.board = board
        n = len(channels)
        self.per_call = (255 // n) * n
        self.channels = (C.c_uint8 * self.per_call)(*(channels * (self.per_call // n)))
        self.fn = _library.load().i_QMD5820_ConvertMoreRawToMetricValues

    def convert(self, raw_address: int, out_address: int, count: int) -> None:
        h, pc = self.board.handle, C.addressof(self.channels)
        done = 0
        while done < count:
            n = min(self.per_call, count - done)
            code = self.fn(h, n, pc, raw_address + 2 * done, out_address + 8 * done)
            if code:
                _check(code, "i_QMD5820_ConvertMoreRawToMetricValues", h)
            done += n


class AutoRefresh:
    """An auto-refresh acquisition: the board keeps the latest code of every listed channel
    in memory that ``values()`` reads and converts. Stops the acquisition on exit."""

    def __init__(self, board: Board, uses: Uses) -> None:
        self.board = board
        self.channels, self.transducers = _split(uses)
        self._address = 0
        self._conv = _Converter(board, self.channels)
        self._out = (C.c_double * len(self.channels))()

    def __enter__(self) -> "AutoRefresh":
        address = C.c_uint64()
        channels, transducers = _list16(self.channels), _list16(self.transducers)  # kept alive
        self.board._do("i_QMD5820_InitAndStartAutoRefreshAcquisition", len(self.channels),
                       C.addressof(channels), C.addressof(transducers), C.byref(address))
        self._address = address.value
        return self

    def __exit__(self, *exc: Any) -> None:
        self._address = 0
        self.board.stop_acquisition()

    def raw(self) -> list[int]:
        """The latest codes, one per listed channel."""
        if not self._address:
            raise ValueError("the auto-refresh acquisition is not running")
        return list((C.c_uint16 * len(self.channels)).from_address(self._address))

    def values(self) -> Any:
        """The latest metric values (numpy array when numpy is there, else a list)."""
        if not self._address:
            raise ValueError("the auto-refresh acquisition is not running")
        raw = (C.c_uint16 * len(self.channels))(*self.raw())
        self._conv.convert(C.addressof(raw), C.addressof(self._out), len(self.channels))
        return _np.array(self._out) if _np is not None else list(self._out)


class SequenceAcquisition:
    """A sequence acquisition of up to 16 channels as a context manager.

    On entry it installs an interrupt routine and starts the acquisition; ``blocks()``
    yields one block per sequence interrupt: the metric values of
    ``sequences_per_interrupt`` sequences (a numpy array sequences x channels when numpy is
    there, else a list of lists). On exit, whatever the reason (end of the block, an
    exception, Ctrl-C) it stops the acquisition and removes the routine.
    """

    def __init__(self, board: Board, uses: Uses, sequences_per_interrupt: int = 10,
                 trigger: str = "none", on_interrupt: Optional[InterruptCallback] = None,
                 timeout: float = 5.0) -> None:
        self.board = board
        self.channels, self.transducers = _split(uses)
        if not 1 <= sequences_per_interrupt <= 65535:
            raise ValueError("sequences_per_interrupt must be 1 to 65535")
        if (len(self.channels) * sequences_per_interrupt) % 2:
            raise ValueError("channels x sequences_per_interrupt must be even")
        if trigger not in _TRIGGERS:
            raise ValueError("trigger must be 'none' or 'soft'")
        self.sequences_per_interrupt = sequences_per_interrupt
        self.trigger = trigger
        self.timeout = timeout
        self._user = on_interrupt
        self._interrupts = 0
        self._delivered = 0
        self._cond = threading.Condition()
        self._running = False
        values = len(self.channels) * sequences_per_interrupt
        self._raw = (C.c_uint16 * values)()
        self._metric = (C.c_double * values)()
        self._conv = _Converter(board, self.channels)
        self._read = _library.load().l_QMD5820_ReadSequenceData

    def _on_interrupt(self, info: int, value1: int, value2: int, data: tuple) -> None:
        if info == SEQUENCE_INTERRUPT:
            with self._cond:
                self._interrupts += 1
                self._cond.notify_all()
        if self._user is not None:
            self._user(info, value1, value2, data)

    def __enter__(self) -> "SequenceAcquisition":
        self.board.set_interrupt_routine(self._on_interrupt)
        channels, transducers = _list16(self.channels), _list16(self.transducers)  # kept alive
        try:
            self.board._do("i_QMD5820_InitAndStartTransducerSequence",
                           self.sequences_per_interrupt, 0, len(self.channels),
                           C.addressof(channels), C.addressof(transducers), 0,
                           _TRIGGERS[self.trigger], 0, 0)
            self._running = True
            if self.trigger == "soft":
                self.board.trigger_acquisition()
        except BaseException:
            self._close()
            raise
        return self

    def __exit__(self, exc_type: Any, exc: Any, tb: Any) -> None:
        try:
            self._close()
        except Exception:
            if exc_type is None:
                raise  # a failing clean-up is reported unless another error is under way

    def _close(self) -> None:
        errors: list[BaseException] = []
        if self._running:
            self._running = False
            try:
                self.board.stop_acquisition()
            except QMD5820Error as e:
                errors.append(e)
        try:
            self.board.remove_interrupt_routine()
        except Exception as e:  # noqa: BLE001
            errors.append(e)
        if errors:
            raise errors[0]

    @property
    def interrupts(self) -> int:
        """Sequence interrupts received so far."""
        with self._cond:
            return self._interrupts

    def _wait_interrupt(self, deadline: float) -> None:
        with self._cond:
            while self._interrupts <= self._delivered:
                left = deadline - time.monotonic()
                if left <= 0:
                    raise TimeoutError(
                        f"no sequence interrupt within {self.timeout} s "
                        f"({self._interrupts} so far)")
                # short waits keep Ctrl-C responsive
                self._cond.wait(min(left, 0.1))

    def _read_block(self, deadline: float) -> None:
        want = C.sizeof(self._raw)
        got = 0
        base = C.addressof(self._raw)
        h = self.board.handle
        while got < want:
            n = self._read(h, want - got, base + got)
            if n < 0:
                _check(n, "l_QMD5820_ReadSequenceData", h)
            got += n
            if n == 0:
                if time.monotonic() > deadline:
                    raise TimeoutError(f"only {got} of {want} bytes of sequence data arrived")
                time.sleep(0.001)

    def read_block(self) -> Any:
        """Wait for the next sequence interrupt and return its block of metric values."""
        if not self._running:
            raise ValueError("the acquisition is not running")
        deadline = time.monotonic() + self.timeout
        self._wait_interrupt(deadline)
        self._read_block(deadline)
        self._delivered += 1
        n = len(self._raw)
        self._conv.convert(C.addressof(self._raw), C.addressof(self._metric), n)
        c = len(self.channels)
        if _np is not None:
            return _np.frombuffer(self._metric, dtype=_np.float64).reshape(-1, c).copy()
        flat = list(self._metric)
        return [flat[i:i + c] for i in range(0, n, c)]

    def raw_block(self) -> list[int]:
        """The raw codes of the last block read (sequence after sequence)."""
        return list(self._raw)

    def blocks(self, count: Optional[int] = None) -> Iterator[Any]:
        """Yield `count` blocks (or blocks until the caller stops)."""
        i = 0
        while count is None or i < count:
            yield self.read_block()
            i += 1
