"""The step-by-step calibration, run on the calling thread. Each step blocks in the library
for seconds; Ctrl-C during a step is answered at once (logged: the step cannot be stopped)
and the calibration is broken as soon as the step returns."""
from __future__ import annotations

import ctypes as C
import logging
import threading
from typing import Any, Optional

from . import _args
from ._calls import Link
from .calibration import BreakReport, _note
from .errors import QMD5820Error, StateError

log = logging.getLogger("qmd5820")

RESTORED_POTENTIOMETERS = "28 potentiometers (all but 4, 5, 10 and 11, which stay at 128)"
RESTORED_TABLE = "the excitation table"


def step_break_report(step: int, code: int) -> BreakReport:
    """What BreakCalibration did, from its result."""
    if code == -2:
        return BreakReport("step-by-step", step, (), (),
                           note="no step-by-step calibration was in progress")
    if code == -3:
        return BreakReport("step-by-step", step, (), (
            "the potentiometers: a write failed", RESTORED_TABLE + ": not attempted"))
    if code == -4:
        return BreakReport("step-by-step", step, (RESTORED_POTENTIOMETERS,),
                           (RESTORED_TABLE + ": its write failed",))
    return BreakReport("step-by-step", step, (RESTORED_POTENTIOMETERS, RESTORED_TABLE), (),
                       note="nothing was stored (the procedure stores at its last step)")


class StepCalibration:
    """The step-by-step procedure.

    ``start()`` runs step 1 (the levels of group 0); each ``next_step()`` runs the next
    one: the balance (transducer at its zero), the positions of group 0 (transducer at
    ``position``; with one group also the store), then with a group 1 channel its levels
    and its positions (and the store). ``values()`` reads the two live raw values.
    A step that finds no acceptable setting raises QMD5820Error with code -50: a level or
    balance step may be repeated after moving the transducer, otherwise break. The ``with``
    block breaks when it is left before the last step; ``break_()`` returns a
    ``BreakReport`` (kept as ``break_report``).
    """

    def __init__(self, link: Link, transducer_index: int, first_channel: int,
                 position: float, second_channel: int = 0) -> None:
        self._link = link
        second = _args.integer("second_channel", second_channel, 0, 15,
                               "0 (none) or a channel of group 1, 8 to 15")
        if 1 <= second <= 7:
            raise _args.ArgumentError("second_channel", "0 (none) or a channel of group 1, "
                                      "8 to 15", second_channel)
        self.args = (_args.transducer_index(transducer_index),
                     _args.integer("first_channel", first_channel, 0, 7,
                                   "a channel of group 0, 0 to 7"),
                     second, _args.position(position))
        self.steps = 5 if second else 3
        self.done_steps = 0
        self.break_report: Optional[BreakReport] = None
        self._address = 0
        self._in_progress = False

    def _step(self, function: str, *args: Any) -> None:
        """Run one blocking step on a helper thread so that Ctrl-C is seen at once; after
        Ctrl-C the calibration is broken when the step returns, then KeyboardInterrupt is
        raised."""
        failure: list[BaseException] = []
        done = threading.Event()  # not Thread.join: an interrupted join can lose the thread

        def run() -> None:
            try:
                self._link.do(function, *args)
            except BaseException as e:  # noqa: BLE001 - raised on the caller's thread
                failure.append(e)
            finally:
                done.set()

        worker = threading.Thread(target=run, name="qmd5820-calibration-step", daemon=True)
        interrupted = False
        while True:  # Ctrl-C may land anywhere in the wait, the loop's test included
            try:
                if worker.ident is None:
                    worker.start()
                while not done.wait(0.05):
                    pass
                break
            except KeyboardInterrupt:
                if worker.ident is None:
                    raise  # the step never started: nothing to wait for or break
                if not interrupted:
                    log.warning("Ctrl-C: the calibration step on %s runs in the library "
                                "and cannot be stopped; the calibration is broken as soon "
                                "as it returns", self._link.name)
                interrupted = True
        if not interrupted:
            if failure:
                raise failure[0]
            return
        try:
            if failure:
                raise failure[0]
        except QMD5820Error as e:
            log.warning("%s: the interrupted step failed: %s", self._link.name, e)
            self._after_failure(function, e)
        else:
            self._after_success(function)
        stop = KeyboardInterrupt()
        if self._in_progress:
            report = self.break_()
            log.warning("%s: %s", self._link.name, report)
            _note(stop, str(report))
        raise stop

    def _after_failure(self, function: str, e: QMD5820Error) -> None:
        if function == "i_QMD5820_StartCalibration" and e.code == -50:
            self._in_progress = True  # the live values are there, step 1 may repeat

    def _after_success(self, function: str) -> None:
        if function == "i_QMD5820_StartCalibration":
            self._in_progress, self.done_steps = True, 1
        else:
            self.done_steps += 1
            if self.done_steps >= self.steps:
                self._in_progress = False

    def start(self) -> "StepCalibration":
        address = C.c_uint64()
        try:
            self._step("i_QMD5820_StartCalibration", *self.args, C.byref(address))
        except QMD5820Error as e:
            self._after_failure("i_QMD5820_StartCalibration", e)
            raise
        finally:
            self._address = address.value
        self._after_success("i_QMD5820_StartCalibration")
        return self

    def next_step(self) -> None:
        """Run the next step (or repeat a failed level or balance step)."""
        self._step("i_QMD5820_NextCalibrationStep")
        self._after_success("i_QMD5820_NextCalibrationStep")

    def break_(self) -> BreakReport:
        """Abandon: restore the potentiometers and the excitation table. Returns what the
        break restored; a failed restore is raised after the report is kept."""
        try:
            self._link.do("i_QMD5820_BreakCalibration")
            code = 0
        except QMD5820Error as e:
            if e.code is None or e.code not in (-2, -3, -4):
                raise
            code = e.code
        self.break_report = step_break_report(self.done_steps, code)
        if code in (0, -2):
            self._in_progress = False
        else:
            raise QMD5820Error(code, "i_QMD5820_BreakCalibration", str(self.break_report))
        return self.break_report

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
            raise StateError(None, None, "the calibration is not started")
        self._link.ensure_open()
        v = (C.c_uint32 * 2).from_address(self._address)
        return v[0], v[1]

    def __enter__(self) -> "StepCalibration":
        if not self._in_progress:
            try:
                self.start()
            except QMD5820Error:
                if self._in_progress:  # step 1 failed: the block is not entered, break now
                    self.break_()
                raise
        return self

    def __exit__(self, exc_type: Any, exc: Any, tb: Any) -> None:
        if self._in_progress:
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
