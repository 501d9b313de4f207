"""Calibration of a transducer type: the worker (a thread in the library, followed here as an
iterator of status updates) and the step-by-step procedure.

Both adjust the board to the transducer connected to a channel of group 0 (0 to 7) and,
optionally, one of group 1 (8 to 15), and store the result in the board's EEPROM. Both need
the transducer moved by hand at given points: to its zero, and to ``position`` (metric unit).

    with board.calibration_worker(1, group0_channel=3, position=1.0, impedance=350) as run:
        for update in run:
            print(update)
            if update.waiting:            # put the transducer where update.phase says
                run.confirm()

Leaving the ``with`` block before the worker finished (an exception, Ctrl-C, a ``break``)
stops it and restores the transducer's configuration block.
"""
from __future__ import annotations

import ctypes as C
import time
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Callable, Iterator, Optional

from .errors import QMD5820Error

if TYPE_CHECKING:  # pragma: no cover
    from .board import Board

IDLE, DONE, FAILED = 0, 22, 23
WAITING_FOR_ZERO = 7  # model 1: move the transducer until the board sees its zero (no confirm)
CONFIRM_STATUSES = frozenset({25, 9, 16, 19})
"""The statuses at which the worker waits for ``confirm()``."""

PHASES: dict[int, str] = {
    0: "idle", 1: "primary line", 2: "preparing",
    3: "group 0 open", 4: "group 0 symmetry", 5: "group 0 first level",
    6: "group 0 second level", 7: "waiting for the transducer's zero",
    25: "waiting for the first confirmation (transducer at its zero)",
    8: "excitation balance", 9: "waiting before the positions (transducer at the position)",
    10: "group 0 first position", 11: "group 0 second position",
    12: "group 1 open", 13: "group 1 symmetry", 14: "group 1 first level",
    15: "group 1 second level",
    16: "waiting before the group 1 positions (group 1 transducer at the position)",
    17: "group 1 first position", 18: "group 1 second position",
    19: "waiting before the threshold search", 20: "threshold search", 21: "storing",
    22: "done", 23: "failed", 24: "restore after a break",
}


def phase_name(status: int) -> str:
    """The name of a worker status (or of a failed phase)."""
    return PHASES.get(status, f"status {status}")


def _signed(word: int) -> int:
    return word - (1 << 32) if word & 0x80000000 else word


@dataclass(frozen=True)
class CalibrationStatus:
    """One status of the worker.

    ``values`` are the two live raw values while the board is adjusted (zeros before the
    first adjustment and in statuses 0, 1, 2 and 22); in status 23 ``failed_phase`` and
    ``code`` tell where and why the worker failed (``values`` then holds them as read).
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

    def __str__(self) -> str:
        if self.failed:
            return (f"{self.status:2} failed in phase {self.failed_phase} "
                    f"({phase_name(self.failed_phase or 0)}), code {self.code}")
        return f"{self.status:2} {self.phase}: {self.values[0]} {self.values[1]}"


class CalibrationError(QMD5820Error):
    """The worker failed (status 23): ``phase`` is the status it failed in (24: restoring
    after a break), ``code`` the code of that phase."""

    def __init__(self, phase: int, code: int) -> None:
        super().__init__(code, "i_QMD5820_CalibrationStart",
                         f"i_QMD5820_CalibrationStart: the calibration failed in phase {phase} "
                         f"({phase_name(phase)}) with code {code}")
        self.phase = phase


class CalibrationWorker:
    """A calibration run by the library's worker thread on `board`.

    Started by ``start()`` or on entering the ``with`` block. Iterating yields a
    ``CalibrationStatus`` each time the status changes, polling every ``poll_interval``
    seconds; it ends after the update of status 22 (done), and raises ``CalibrationError``
    after the update of status 23. At a waiting status (``update.waiting``) place the
    transducer and call ``confirm()``; at status 7 (model 1) move it until the board sees
    its zero. ``break_()`` stops the worker and restores the configuration block; the
    ``with`` block does that when it is left before the end or after a failure.
    """

    def __init__(self, board: "Board", transducer_index: int, group0_channel: int,
                 position: float, *, impedance: int, group1_channel: int = 0,
                 model: int = 0, poll_interval: float = 0.001) -> None:
        self.board = board
        self.args = (transducer_index, group0_channel, group1_channel, impedance, position,
                     model)
        self.poll_interval = poll_interval
        self._running = False
        self._finished: Optional[CalibrationStatus] = None
        self._last_seen = -1
        self._started = False

    def start(self) -> "CalibrationWorker":
        """Start the worker thread (QMD5820Error when the library refuses).

        A failed run left behind (status 23) is broken first: the library keeps its status
        until a break, and its configuration block is restored."""
        if self._raw_status()[0] == FAILED:
            self.board._do("i_QMD5820_CalibrationBreak")
        self.board._do("i_QMD5820_CalibrationStart", *self.args)
        self._running, self._finished, self._last_seen = True, None, -1
        self._started = True
        return self

    def _raw_status(self) -> tuple[int, tuple[int, int]]:
        status = C.c_int32()
        values = (C.c_uint32 * 2)()
        self.board._do("i_QMD5820_CalibrationGetCurrentStatus", C.byref(status), values)
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
        self.board._do("i_QMD5820_CalibrationNextStep")

    def break_(self) -> None:
        """Stop the worker and restore the transducer's configuration block (also after a
        failure: the failed run's block is written back and the status becomes 0)."""
        self._running, self._started, self._finished = False, False, None
        self.board._do("i_QMD5820_CalibrationBreak")

    @property
    def running(self) -> bool:
        """Started by this object and neither ended nor broken."""
        return self._running

    def __iter__(self) -> Iterator[CalibrationStatus]:
        if not self._running and self._finished is None:
            raise ValueError("the calibration worker is not running")
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

    def __exit__(self, *exc: Any) -> None:
        # Anything but a completed run is broken: a running worker is stopped, a failed one
        # has its configuration block restored and its status cleared.
        if self._started and not (self._finished is not None and self._finished.done):
            self.break_()


class StepCalibration:
    """The step-by-step procedure, run on the calling thread (each step blocks for seconds).

    ``start()`` runs step 1 (the levels of group 0); each ``next_step()`` runs the next
    one: the balance (transducer at its zero), the positions of group 0 (transducer at
    ``position``; with one group also the store), then with a group 1 channel its levels
    and its positions (and the store). ``values()`` reads the two live raw values.
    A step that finds no acceptable setting raises QMD5820Error with code -50: a level or
    balance step may be repeated after moving the transducer, otherwise break. The ``with``
    block breaks when it is left before the last step.
    """

    def __init__(self, board: "Board", transducer_index: int, first_channel: int,
                 position: float, second_channel: int = 0) -> None:
        self.board = board
        self.args = (transducer_index, first_channel, second_channel, position)
        self.steps = 5 if second_channel else 3
        self.done_steps = 0
        self._address = 0
        self._in_progress = False

    def start(self) -> "StepCalibration":
        address = C.c_uint64()
        try:
            self.board._do("i_QMD5820_StartCalibration", *self.args, C.byref(address))
        except QMD5820Error as e:
            if e.code == -50:  # in progress: the live values are there, step 1 may repeat
                self._address, self._in_progress = address.value, True
            raise
        self._address, self._in_progress, self.done_steps = address.value, True, 1
        return self

    def next_step(self) -> None:
        """Run the next step (or repeat a failed level or balance step)."""
        self.board._do("i_QMD5820_NextCalibrationStep")
        self.done_steps += 1
        if self.done_steps >= self.steps:
            self._in_progress = False

    def break_(self) -> None:
        """Abandon: restore the potentiometers and the excitation table."""
        self.board._do("i_QMD5820_BreakCalibration")
        self._in_progress = False

    @property
    def finished(self) -> bool:
        """Every step done: the result is stored."""
        return self.done_steps >= self.steps

    @property
    def in_progress(self) -> bool:
        return self._in_progress

    def values(self) -> tuple[int, int]:
        """The two live raw values of the adjustment."""
        if not self._address:
            raise ValueError("the calibration is not started")
        v = (C.c_uint32 * 2).from_address(self._address)
        return v[0], v[1]

    def __enter__(self) -> "StepCalibration":
        if not self._in_progress:
            try:
                self.start()
            except BaseException:
                if self._in_progress:  # step 1 failed: the block is not entered, break now
                    self.break_()
                raise
        return self

    def __exit__(self, *exc: Any) -> None:
        if self._in_progress:
            self.break_()
