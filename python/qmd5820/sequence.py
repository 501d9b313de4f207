"""The sequence acquisition: blocks that say which sequences they hold and when they came,
a backlog that is counted and never lost silently, reads of N sequences, and a data
callback for continuous work."""
from __future__ import annotations

import collections
import ctypes as C
import logging
import threading
import time
from typing import Any, Callable, Iterator, Optional

import numpy as np
from numpy.typing import NDArray

from . import _args
from ._calls import InterruptCallback, Link, Routine, lib, library_error
from .acquisition import (OVER_RANGE_CHOICES, Block, Converter, ExplainTypes, channel_array)
from .channels import Uses, over_range
from .errors import (AcquisitionTimeoutError, CallbackError, OverrunError, QMD5820Error,
                     StateError)

log = logging.getLogger("qmd5820")

SEQUENCE_INTERRUPT = 1
_TRIGGERS = {"none": 0, "soft": 1}
BlockCallback = Callable[[Block], Optional[bool]]


class SequenceAcquisition:
    """A sequence acquisition of up to 16 channels as a context manager.

    On entry it installs an interrupt routine and starts the acquisition. The board
    acquires the channels as one sequence, again and again, and announces a block after
    every ``sequences_per_interrupt`` sequences; ``read_block()`` (or ``blocks()``) hands
    out the next block, ``read(n)`` the next n sequences, each as a ``Block`` that carries
    its sequence numbers and arrival time. With ``on_block`` the package hands every block
    to that callback on a thread of its own instead (it returns False to stop).

    Backlog: the blocks the board announced but nobody took yet. Beyond ``max_backlog`` of
    them the data handed out would be stale: ``on_overrun="raise"`` raises OverrunError,
    ``"drop"`` discards all but the newest waiting block and logs a warning on the
    ``qmd5820`` logger. Blocks left unread when the acquisition stops are logged too.
    ``announced``, ``taken``, ``delivered``, ``dropped`` and ``backlog`` count blocks.

    Sequence rate: on a real board the board's conversion timing sets it (the conversion
    time division factor, ``Board.set_convert_time_division_factor``, and the sequence
    ``parameters``, which the library passes to the driver unchanged); the library knows no
    rate of its own. ``sequence_rate()`` measures it from the arrival times. On the
    simulated board ``qmd5820.sim.set_sequence_period_us(board, us)`` sets it (1000 us per
    sequence unless changed).

    On exit, whatever the reason (end of the block, an exception, Ctrl-C) it stops the
    delivery thread, the acquisition and removes the routine.
    """

    def __init__(self, link: Link, uses: Uses, sequences_per_interrupt: int = 10,
                 trigger: str = "none", on_interrupt: Optional[InterruptCallback] = None,
                 timeout: float = 5.0, *, max_backlog: int = 64, on_overrun: str = "raise",
                 over_range: str = "flag", on_block: Optional[BlockCallback] = None,
                 parameters: tuple[int, int, int] = (0, 0, 0),
                 explain_types: Optional[ExplainTypes] = None) -> None:
        self._link = link
        self.channels, self.transducers = _args.channel_uses(uses)
        self.sequences_per_interrupt = _args.integer(
            "sequences_per_interrupt", sequences_per_interrupt, 1, _args.U16_MAX)
        if (len(self.channels) * self.sequences_per_interrupt) % 2:
            raise _args.ArgumentError("sequences_per_interrupt", "even when the number of "
                                      "channels is odd (the board moves words in pairs)",
                                      sequences_per_interrupt)
        self.trigger = _args.choice("trigger", trigger, _TRIGGERS)
        self.timeout = _args.seconds(timeout, "timeout")
        self.max_backlog = _args.integer("max_backlog", max_backlog, 1, 1 << 20)
        self.on_overrun = _args.choice("on_overrun", on_overrun, ("raise", "drop"))
        self.over_range = _args.choice("over_range", over_range, OVER_RANGE_CHOICES)
        self._user = _args.callable_or_none("on_interrupt", on_interrupt)
        self._on_block = _args.callable_or_none("on_block", on_block)
        if not isinstance(parameters, (tuple, list)) or len(parameters) != 3:
            raise _args.ArgumentError("parameters", "three unsigned 32-bit integers", parameters)
        self.parameters = tuple(_args.u32(f"parameters[{i}]", p) for i, p in enumerate(parameters))
        self._explain_types = explain_types
        self._cond = threading.Condition()
        self._announced = 0                 # sequence interrupts so far
        self._arrivals: collections.deque[tuple[int, float]] = \
            collections.deque(maxlen=self.max_backlog + 2)  # bounded, whatever the backlog
        self._taken = self._delivered = self._dropped = 0
        self._pending: Optional[Block] = None
        self._running = False
        self._routine: Optional[Routine] = None
        self._thread: Optional[threading.Thread] = None
        self._stop = threading.Event()
        self._delivery_ended = threading.Event()  # waited on instead of an interruptible join
        self._thread_error: Optional[BaseException] = None
        self._error_raised = False
        values = len(self.channels) * self.sequences_per_interrupt
        self._raw = (C.c_uint16 * values)()
        self._metric = (C.c_double * values)()
        self._conv = Converter(link, self.channels)
        self._read = lib().l_QMD5820_ReadSequenceData

    # ---- counters -----------------------------------------------------------------------

    @property
    def announced(self) -> int:
        """Blocks the board announced (sequence interrupts) so far."""
        with self._cond:
            return self._announced

    @property
    def taken(self) -> int:
        """Blocks taken from the board: delivered or dropped."""
        return self._taken

    @property
    def delivered(self) -> int:
        return self._delivered

    @property
    def dropped(self) -> int:
        return self._dropped

    @property
    def backlog(self) -> int:
        """Blocks announced but not taken yet."""
        with self._cond:
            return self._announced - self._taken

    interrupts = announced  # the former name

    def sequence_rate(self) -> Optional[float]:
        """Sequences per second, measured from the host arrival times of the last blocks
        (None before two blocks arrived)."""
        with self._cond:
            if len(self._arrivals) < 2:
                return None
            (n0, t0), (n1, t1) = self._arrivals[0], self._arrivals[-1]
        return (n1 - n0) * self.sequences_per_interrupt / (t1 - t0) if t1 > t0 else None

    # ---- start and stop -----------------------------------------------------------------

    def _on_interrupt(self, info: int, value1: int, value2: int, data: tuple) -> None:
        if info == SEQUENCE_INTERRUPT:
            now = time.time()
            with self._cond:
                self._announced += 1
                self._arrivals.append((self._announced, now))
                self._cond.notify_all()
        if self._user is not None:
            self._user(info, value1, value2, data)

    def __enter__(self) -> "SequenceAcquisition":
        if self._stop.is_set() or self._running:
            raise StateError(None, None, "a SequenceAcquisition runs once: make a new one")
        self._routine = self._link.install_routine(self._on_interrupt, "a sequence acquisition")
        channels, transducers = channel_array(self.channels), channel_array(self.transducers)
        p1, p2, p3 = self.parameters
        try:
            self._link.do("i_QMD5820_InitAndStartTransducerSequence",
                          self.sequences_per_interrupt, p1, len(self.channels),
                          C.addressof(channels), C.addressof(transducers), p2,
                          _TRIGGERS[self.trigger], 0, p3, explain=self._explain_start)
            self._running = True
            if self.trigger == "soft":
                self._link.do("i_QMD5820_TriggerTransducerAcquisition")
            if self._on_block is not None:
                self._thread = threading.Thread(target=self._deliver, name="qmd5820-blocks",
                                                daemon=True)
                self._thread.start()
        except BaseException:
            self._close(quiet=True)
            raise
        return self

    def _explain_start(self, code: int) -> Optional[str]:
        if code != -10 or self._explain_types is None:
            return None
        return self._explain_types(self.transducers)

    def __exit__(self, exc_type: Any, exc: Any, tb: Any) -> None:
        self._close(quiet=exc_type is not None)

    def _close(self, quiet: bool) -> None:
        """Stop everything; raise the first failure unless `quiet` (another exception is on
        its way out: the failures are logged then)."""
        errors: list[BaseException] = []
        self._stop.set()
        if self._thread is not None:
            while not self._delivery_ended.wait(0.1):  # short waits keep Ctrl-C responsive
                pass
        if self._running:
            self._running = False
            try:
                self._link.do("i_QMD5820_StopTransducerAcquisition")
            except QMD5820Error as e:
                errors.append(e)
        if self._routine is not None:
            routine, self._routine = self._routine, None
            try:
                self._link.remove_routine(routine)
            except Exception as failure:  # noqa: BLE001
                errors.append(failure)
        self._report_unread()
        if self._thread_error is not None and not self._error_raised:
            errors.insert(0, self._callback_error())
        if errors and quiet:
            for error in errors:
                log.error("stopping the sequence acquisition on %s: %s", self._link.name, error)
        elif errors:
            raise errors[0]

    def _report_unread(self) -> None:
        """Log what the board acquired that nobody took: a warning when blocks waited
        (a backlog thrown away), a note when only the block under way at the stop did."""
        with self._cond:
            unread = self._announced - self._taken
        pending = self._pending
        if not unread and pending is None:
            return
        first = pending.first_sequence if pending is not None else \
            self._taken * self.sequences_per_interrupt
        last = (self._taken + unread) * self.sequences_per_interrupt - 1
        log.log(logging.WARNING if unread > 1 else logging.INFO,
                "%s: the sequence acquisition stopped with %d sequence(s) acquired and not "
                "read (%d whole block(s) waiting): sequences %d to %d discarded",
                self._link.name, last - first + 1, unread, first, last)

    def _callback_error(self) -> BaseException:
        self._error_raised = True
        e = self._thread_error
        if isinstance(e, QMD5820Error):
            return e
        error = CallbackError(None, None, f"the on_block callback raised {e!r}")
        error.__cause__ = e
        return error

    # ---- taking blocks ------------------------------------------------------------------

    def _next_block(self, deadline: float) -> Optional[Block]:
        """The next block, after dropping or refusing a backlog beyond max_backlog; None when
        the acquisition is being stopped."""
        with self._cond:
            while self._announced <= self._taken:
                if self._stop.is_set():
                    return None
                left = deadline - time.monotonic()
                if left <= 0:
                    raise AcquisitionTimeoutError(
                        None, None, f"{self._link.name}: no sequence block within "
                        f"{self.timeout:g} s ({self._announced} announced so far)")
                self._cond.wait(min(left, 0.1))  # short waits keep Ctrl-C responsive
            announced = self._announced
            backlog = announced - self._taken
            drop = 0
            if backlog > self.max_backlog:
                if self.on_overrun == "raise":
                    raise OverrunError(self._overrun_text(announced, backlog), announced,
                                       self._taken)
                drop = backlog - 1
            number = self._taken + drop + 1  # the board's count of the block handed out
            arrived = self._arrival(number)
        if drop:
            self._discard(drop, backlog)
        self._read_block(deadline)
        self._taken += 1
        self._delivered += 1
        return self._convert(number, arrived, announced - number)

    def _arrival(self, number: int) -> float:
        """When block `number` was announced (NaN once no longer kept)."""
        return next((t for n, t in self._arrivals if n == number), float("nan"))

    def _overrun_text(self, announced: int, backlog: int) -> str:
        oldest = self._arrival(self._taken + 1)
        age = f"{time.time() - oldest:.2f} s old" if oldest == oldest else \
            f"older than {time.time() - self._arrivals[0][1]:.2f} s"
        return (f"{self._link.name}: the board announced {announced} blocks of "
                f"{self.sequences_per_interrupt} sequences, {self._taken} were taken: "
                f"{backlog} wait, more than max_backlog={self.max_backlog}; the oldest "
                f"waiting block is {age}. Take blocks faster, raise max_backlog, or pass "
                f"on_overrun='drop' (discard_backlog() drops them now)")

    def _discard(self, count: int, backlog: int) -> None:
        first = self._taken * self.sequences_per_interrupt
        for _ in range(count):
            self._read_block(time.monotonic() + self.timeout)
            self._taken += 1
            self._dropped += 1
        log.warning("%s: %d block(s) waited (max_backlog %d): dropped %d, sequences %d to "
                    "%d", self._link.name, backlog, self.max_backlog, count, first,
                    self._taken * self.sequences_per_interrupt - 1)

    def discard_backlog(self) -> int:
        """Drop every block announced but not taken (logged); returns how many."""
        self._require_running()
        with self._cond:
            backlog = self._announced - self._taken
        if backlog:
            self._discard(backlog, backlog)
        return backlog

    def _read_block(self, deadline: float) -> None:
        want = C.sizeof(self._raw)
        got = 0
        base = C.addressof(self._raw)
        link = self._link
        while got < want:
            link.ensure_open()
            with link.lock:
                n = self._read(link.handle, want - got, base + got)
                if n < 0:
                    raise library_error(n, "l_QMD5820_ReadSequenceData", link.handle)
            got += n
            if n == 0:
                if time.monotonic() > deadline:
                    raise AcquisitionTimeoutError(
                        None, "l_QMD5820_ReadSequenceData",
                        f"{link.name}: only {got} of {want} bytes of sequence data arrived")
                time.sleep(0.001)

    def _convert(self, number: int, arrived: float, backlog: int) -> Block:
        n = len(self._raw)
        self._conv.convert(C.addressof(self._raw), C.addressof(self._metric), n)
        c = len(self.channels)
        raw: NDArray[np.uint16] = np.ctypeslib.as_array(self._raw).reshape(-1, c).copy()
        values: NDArray[np.float64] = np.ctypeslib.as_array(self._metric).reshape(-1, c).copy()
        flags = over_range(raw)
        if self.over_range == "nan":
            values[flags] = np.nan
        first = (number - 1) * self.sequences_per_interrupt
        sequences = np.arange(first, first + self.sequences_per_interrupt, dtype=np.int64)
        return Block(values, raw, sequences, arrived, tuple(self.channels), flags, backlog)

    def _require_running(self, by_caller: bool = True) -> None:
        if not self._running:
            raise StateError(None, None, "the acquisition is not running")
        if by_caller and self._on_block is not None:
            raise StateError(None, None, "blocks go to the on_block callback of this "
                             "acquisition; wait() for it instead")

    def read_block(self) -> Block:
        """The next block: the sequences of the next interrupt (or what read(n) left of
        one). Waits up to ``timeout`` seconds for it."""
        self._require_running()
        pending, self._pending = self._pending, None
        if pending is not None:
            return pending
        block = self._next_block(time.monotonic() + self.timeout)
        assert block is not None  # only the delivery thread is stopped while it waits
        return block

    def read(self, sequences: int) -> Block:
        """The next `sequences` sequences (across blocks; the rest of a block is kept for
        the next read)."""
        wanted = _args.integer("sequences", sequences, 1, 1 << 31)
        self._require_running()
        parts: list[Block] = []
        have = 0
        while have < wanted:
            block = self.read_block()
            take = min(wanted - have, len(block))
            parts.append(block.rows(0, take))
            if take < len(block):
                self._pending = block.rows(take, len(block))
            have += take
        return Block.join(parts)

    def blocks(self, count: Optional[int] = None) -> Iterator[Block]:
        """Yield `count` blocks (or blocks until the caller stops)."""
        if count is not None:
            count = _args.integer("count", count, 0, 1 << 31)
        i = 0
        while count is None or i < count:
            yield self.read_block()
            i += 1

    def raw_block(self) -> NDArray[np.uint16]:
        """The raw codes of the last block read, sequence after sequence (flat)."""
        raw: NDArray[np.uint16] = np.ctypeslib.as_array(self._raw).copy()
        return raw

    # ---- the data callback --------------------------------------------------------------

    def _deliver(self) -> None:
        try:
            while not self._stop.is_set():
                block = self._next_block(time.monotonic() + self.timeout)
                if block is None or self._on_block is None:
                    return
                if self._on_block(block) is False:
                    return
        except BaseException as e:  # noqa: BLE001 - kept, raised on the caller's thread
            self._thread_error = e
        finally:
            self._delivery_ended.set()

    def wait(self, timeout: Optional[float] = None) -> bool:
        """Wait until the on_block delivery ends (the callback returned False, or a failure);
        True when it ended. A failure (the callback's exception as CallbackError, an
        overrun, a time-out) is raised here."""
        if self._thread is None:
            raise StateError(None, None, "this acquisition has no on_block callback")
        if timeout is not None:
            timeout = _args.seconds(timeout, "timeout")
        deadline = None if timeout is None else time.monotonic() + timeout
        while not self._delivery_ended.wait(0.1 if deadline is None else
                                            max(0.0, min(0.1, deadline - time.monotonic()))):
            if deadline is not None and time.monotonic() >= deadline:
                return False
        if self._thread_error is not None and not self._error_raised:
            raise self._callback_error()
        return True
