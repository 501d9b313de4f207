"""Calibration of a transducer type by the library's worker thread, followed here as an
iterator of status updates; what a break did. The step-by-step procedure is in
qmd5820.step_calibration.

Both procedures adjust the board to the transducer connected to a channel of group 0 (0 to
7) and, optionally, one of group 1 (8 to 15), and store the result in the board's EEPROM.
Both need the transducer moved by hand at given points: to its zero, and to ``position``.

    with board.calibration_worker(1, group0_channel=3, position=1.0, impedance=350) as run:
        for update in run:
            print(update)
            if update.waiting:            # put the transducer where update.phase says
                run.confirm()

Leaving the ``with`` block before the worker finished (an exception, Ctrl-C, a ``break``)
stops it and restores the transducer's configuration block; ``run.break_report`` (also
logged on the ``qmd5820`` logger) says what the break restored and what it did not.
"""
from __future__ import annotations

import ctypes as C
import logging
import time
from dataclasses import dataclass
from typing import Any, Callable, Iterator, Optional

from . import _args
from ._calls import Link
from ._tables import failure_text, status_text
from .errors import QMD5820Error, StateError

log = logging.getLogger("qmd5820")

IDLE, DONE, FAILED = 0, 22, 23
THRESHOLD, STORE, PREPARE = 20, 21, 2
WAITING_FOR_ZERO = 7  # model 1: move the transducer until the board sees its zero (no confirm)
CONFIRM_STATUSES = frozenset({25, 9, 16, 19})
"""The statuses at which the worker waits for ``confirm()``."""


def phase_name(status: int) -> str:
    """What a worker status (or a failed phase) means."""
    return status_text(status)


def _signed(word: int) -> int:
    return word - (1 << 32) if word & 0x80000000 else word


@dataclass(frozen=True)
class CalibrationStatus:
    """One status of the worker.

    ``values`` are the two live raw values while the board is adjusted (zeros before the
    first adjustment and in statuses 0, 1, 2 and 22); in status 23 ``failed_phase`` and
    ``code`` tell where and why the worker failed (``values`` then holds them as read) and
    ``failure`` what that means.
    """
    status: int
    values: tuple[int, int]

    @property
    def phase(self) -> str:
        return phase_name(self.status)

    @property
    def waiting(self) -> bool:
        """The worker waits for ``confirm()`` (the transducer placed as the phase says)."""
        return self.status in CONFIRM_STATUSES

    @property
    def done(self) -> bool:
        return self.status == DONE

    @property
    def failed(self) -> bool:
        return self.status == FAILED

    @property
    def failed_phase(self) -> Optional[int]:
        return _signed(self.values[0]) if self.failed else None

    @property
    def code(self) -> Optional[int]:
        return _signed(self.values[1]) if self.failed else None

    @property
    def failure(self) -> Optional[str]:
        """What the failure's phase and code mean (status 23 only)."""
        if not self.failed:
            return None
        return failure_text(self.failed_phase or 0, self.code or 0)

    def __str__(self) -> str:
        if self.failed:
            return (f"{self.status:2} failed in phase {self.failed_phase} "
                    f"({phase_name(self.failed_phase or 0)}), code {self.code}: {self.failure}")
        return f"{self.status:2} {self.phase}: {self.values[0]} {self.values[1]}"


class CalibrationError(QMD5820Error):
    """The worker failed (status 23): ``phase`` is the status it failed in (24: restoring
    after a break), ``code`` the code of that phase, ``meaning`` what they mean."""

    def __init__(self, phase: int, code: int) -> None:
        self.phase = phase
        self.meaning = failure_text(phase, code)
        super().__init__(code, "i_QMD5820_CalibrationStart",
                         f"i_QMD5820_CalibrationStart: the calibration failed in phase {phase} "
                         f"({phase_name(phase)}) with code {code}: {self.meaning}")


@dataclass(frozen=True)
class BreakReport:
    """What a break of a calibration did.

    ``status`` is the worker status (or the step-by-step procedure's step) seen just before
    the break; ``restored`` and ``not_restored`` name what the break put back and what it
    did not; ``completed`` is True when the run stored its result in spite of the break (a
    break in the worker's threshold search only shortens the search)."""
    procedure: str
    status: int
    restored: tuple[str, ...]
    not_restored: tuple[str, ...]
    completed: bool = False
    note: str = ""

    def __str__(self) -> str:
        parts = [f"{self.procedure} calibration broken at {self.status} "
                 f"({phase_name(self.status) if self.procedure == 'worker' else 'step'})"]
        if self.note:
            parts.append(self.note)
        parts.append("restored: " + ("; ".join(self.restored) or "nothing"))
        if self.not_restored:
            parts.append("not restored: " + "; ".join(self.not_restored))
        return ". ".join(parts)


_BLOCK = "the transducer's configuration block (as it was before the run)"
_POTENTIOMETERS = "the potentiometers (the worker's break writes none back)"


def worker_break_report(before: CalibrationStatus, code: int,
                        calibrated_before: Optional[bool],
                        calibrated_after: Optional[bool]) -> BreakReport:
    """What CalibrationBreak did, from the status before it, its result and the
    transducer's calibration state before the run and after the break."""
    s = before.status
    if code != 0:
        return BreakReport("worker", s, (), (_BLOCK + ": writing it back failed, break again",
                                             _POTENTIOMETERS))
    if s in (THRESHOLD, STORE):
        if calibrated_after:
            again = "" if calibrated_before is False else \
                " (it was marked calibrated before this run as well)"
            return BreakReport("worker", s, (), (), completed=True, note=(
                "the break came in the threshold search or the store, which it does not "
                f"stop: the worker stored its result and the transducer is calibrated{again}"))
        return BreakReport("worker", s, (_BLOCK + ", if the run had not stored yet",),
                           ("the result: the store did not complete",))
    if s == FAILED:
        if before.failed_phase == PREPARE:
            return BreakReport("worker", s, (_BLOCK + ", if the failed run had read it",),
                               (_POTENTIOMETERS,), note=f"the run had failed: {before.failure}")
        return BreakReport("worker", s, (_BLOCK,), (_POTENTIOMETERS,),
                           note=f"the run had failed: {before.failure}")
    if s in (IDLE, DONE):
        return BreakReport("worker", s, (), (), completed=s == DONE,
                           note="no run was in progress")
    if s == PREPARE:
        return BreakReport("worker", s, (_BLOCK + ", if the run had read it",),
                           (_POTENTIOMETERS,))
    return BreakReport("worker", s, (_BLOCK,), (_POTENTIOMETERS,))


def calibrated(link: Link, index: int) -> Optional[bool]:
    """Whether transducer type `index` is marked calibrated (None when it cannot be read)."""
    r, s, f, v, state = (C.c_double(), C.c_double(), C.c_double(), C.c_double(),
                         C.c_uint8())
    try:
        link.do("i_QMD5820_TransducerDatabaseReadTransducerInfo", index, C.byref(r),
                C.byref(s), C.byref(f), C.byref(v), C.byref(state))
    except QMD5820Error:
        return None
    return bool(state.value & 1)


def _note(exc: Optional[BaseException], text: str) -> None:
    if exc is not None and hasattr(exc, "add_note"):  # Python 3.11 and later
        exc.add_note(text)


class CalibrationWorker:
    """A calibration run by the library's worker thread on a board.

    Started by ``start()`` or on entering the ``with`` block. Iterating yields a
    ``CalibrationStatus`` each time the status changes, polling every ``poll_interval``
    seconds; it ends after the update of status 22 (done), and raises ``CalibrationError``
    after the update of status 23. At a waiting status (``update.waiting``) place the
    transducer and call ``confirm()``; at status 7 (model 1) move it until the board sees
    its zero. ``break_()`` stops the worker, restores the configuration block and returns a
    ``BreakReport``; the ``with`` block does that when it is left before the end or after
    a failure.
    """

    def __init__(self, link: Link, transducer_index: int, group0_channel: int,
                 position: float, *, impedance: int, group1_channel: int = 0,
                 model: int = 0, poll_interval: float = 0.001) -> None:
        self._link = link
        index = _args.transducer_index(transducer_index)
        group1 = _args.integer("group1_channel", group1_channel, 0, 15,
                               "0 (none) or a channel of group 1, 8 to 15")
        if 1 <= group1 <= 7:
            raise _args.ArgumentError("group1_channel", "0 (none) or a channel of group 1, "
                                      "8 to 15", group1_channel)
        self.args = (index, _args.integer("group0_channel", group0_channel, 0, 7,
                                          "a channel of group 0, 0 to 7"),
                     group1, _args.integer("impedance", impedance, 1, _args.U32_MAX,
                                           "an impedance from 1 to 4294967295"),
                     _args.position(position),
                     _args.one_of("model", model, (0, 1)))
        self.poll_interval = _args.seconds(poll_interval, "poll_interval", high=0.05)
        self.break_report: Optional[BreakReport] = None
        self._running = False
        self._finished: Optional[CalibrationStatus] = None
        self._last_seen = -1
        self._started = False
        self._calibrated_before: Optional[bool] = None

    def start(self) -> "CalibrationWorker":
        """Start the worker thread (QMD5820Error when the library refuses).

        A failed run left behind (status 23) is broken first: the library keeps its status
        until a break, and its configuration block is restored."""
        if self._raw_status()[0] == FAILED:
            self._link.do("i_QMD5820_CalibrationBreak")
        self._calibrated_before = calibrated(self._link, self.args[0])
        self._link.do("i_QMD5820_CalibrationStart", *self.args)
        self._running, self._finished, self._last_seen = True, None, -1
        self._started = True
        self.break_report = None
        return self

    def _raw_status(self) -> tuple[int, tuple[int, int]]:
        status = C.c_int32()
        values = (C.c_uint32 * 2)()
        self._link.do("i_QMD5820_CalibrationGetCurrentStatus", C.byref(status), values)
        return status.value, (values[0], values[1])

    def status(self) -> CalibrationStatus:
        """The worker's status now. Status 22 is reported by the library only once: it is
        kept here, so the run stays done for this object."""
        if self._finished is not None:
            return self._finished
        update = CalibrationStatus(*self._raw_status())
        if update.done or update.failed:
            self._finished, self._running = update, False
        return update

    def confirm(self) -> None:
        """Confirm the position the worker waits for (statuses 25, 9, 16 and 19). A
        confirmation given before the wait lets it pass at once."""
        self._link.do("i_QMD5820_CalibrationNextStep")

    def break_(self) -> BreakReport:
        """Stop the worker and restore the transducer's configuration block (also after a
        failure: the failed run's block is written back and the status becomes 0). The
        report says what was restored; a break in the threshold search lets the worker
        store its result, and the report says so."""
        before = self._finished if self._finished is not None else \
            CalibrationStatus(*self._raw_status())
        self._running, self._started, self._finished = False, False, None
        code = 0
        try:
            self._link.do("i_QMD5820_CalibrationBreak")
        except QMD5820Error as e:
            if e.code is None:
                raise
            code = e.code
        after = calibrated(self._link, self.args[0])
        self.break_report = worker_break_report(before, code, self._calibrated_before, after)
        if code:
            raise QMD5820Error(code, "i_QMD5820_CalibrationBreak", str(self.break_report))
        return self.break_report

    @property
    def running(self) -> bool:
        """Started by this object and neither ended nor broken."""
        return self._running

    def __iter__(self) -> Iterator[CalibrationStatus]:
        if not self._running and self._finished is None:
            raise StateError(None, None, "the calibration worker is not running "
                             "(start() or a with-block starts it)")
        seen_running = False
        started = time.monotonic()
        while True:
            update = self.status()
            if update.status != self._last_seen:
                self._last_seen = update.status
                if update.status != IDLE:
                    seen_running = True
                    yield update
            if update.done:
                return
            if update.failed:
                self._running = False
                raise CalibrationError(update.failed_phase or 0, update.code or 0)
            if update.status == IDLE and (seen_running or time.monotonic() - started > 2.0):
                self._running = False  # broken elsewhere: nothing runs any more
                return
            time.sleep(self.poll_interval)

    def run(self, on_wait: Optional[Callable[[CalibrationStatus], None]] = None
            ) -> CalibrationStatus:
        """Run to the end, calling ``on_wait(update)`` at each waiting status (and at status
        7) before confirming; returns the final status (22)."""
        on_wait = _args.callable_or_none("on_wait", on_wait)
        last = None
        for last in self:
            if last.status == WAITING_FOR_ZERO or last.waiting:
                if on_wait is not None:
                    on_wait(last)
                if last.waiting:
                    self.confirm()
        assert last is not None
        return last

    def __enter__(self) -> "CalibrationWorker":
        if not self._running:
            self.start()
        return self

    def __exit__(self, exc_type: Any, exc: Any, tb: Any) -> None:
        # Anything but a completed run is broken: a running worker is stopped, a failed one
        # has its configuration block restored and its status cleared.
        if self._started and not (self._finished is not None and self._finished.done):
            if exc_type is KeyboardInterrupt:
                log.warning("Ctrl-C: breaking the calibration worker on %s", self._link.name)
            try:
                report = self.break_()
            except QMD5820Error as e:
                if exc_type is None:
                    raise
                log.error("breaking the calibration on %s failed: %s", self._link.name, e)
                return
            log.log(logging.INFO if exc_type is None else logging.WARNING, "%s: %s",
                    self._link.name, report)
            _note(exc, str(report))
