"""The package's private call helpers: every library call is made, checked and turned into
an exception here; `Link` is an open board as the package's modules see it; interrupt
routines are installed and removed here. Imports nothing of the package but the library
loader, the error module and the argument checks, so every other module can import it."""
from __future__ import annotations

import ctypes as C
import threading
from typing import Any, Callable, Optional

from . import _library
from .errors import (HINTS, INVALID_HANDLE_TEXT, AcquisitionTimeoutError, ArgumentError,
                     BoardClosedError, InterruptRoutineError, QMD5820Error, StateError,
                     records_result, unrecorded_text)

InterruptCallback = Callable[[int, int, int, tuple], None]
"""``callback(info, value1, value2, data)``; ``data`` is a tuple of the valid data words."""

Explain = Callable[[int], Optional[str]]
"""Called with a failure's code: a hint that depends on the board, or None."""

# Library codes that are not plain failures but a time-out or a call in the wrong state.
_READS = ("i_QMD5820_Read1TransducerChannel", "i_QMD5820_ReadMoreTransducerChannels")
_CLASSES: dict[tuple[str, int], type] = {
    **{(f, -51): AcquisitionTimeoutError for f in _READS},
    **{(f, -50): StateError for f in _READS + ("i_QMD5820_Init1TransducerChannel",
                                               "i_QMD5820_TestPrimaryLine",
                                               "i_QMD5820_CalibratePrimaryLineTest")},
    ("i_QMD5820_SetBoardIntRoutine", -2): StateError,
    ("i_QMD5820_ResetBoardIntRoutine", -2): StateError,
    ("i_QMD5820_StartCalibration", -5): StateError,
    ("i_QMD5820_CalibrationStart", -7): StateError,
    ("i_QMD5820_NextCalibrationStep", -2): StateError,
    ("i_QMD5820_BreakCalibration", -2): StateError,
}


def lib() -> C.CDLL:
    return _library.load()


def library_error(code: int, function: str, handle: int = 0,
                  explain: Optional[Explain] = None) -> QMD5820Error:
    """The exception for a negative result: the library's own text for the board (the
    package's for functions that record nothing), and a hint where that text misleads."""
    if records_result(function) and handle:
        raw = lib().pc_QMD5820_GetLastError(handle)
        text = raw.decode("latin-1") if raw else ""
        # -1 for an unknown handle is not recorded: the board's text then tells of an
        # earlier call, so it is used only when it is this function's own.
        if not (text.startswith(function + ": ") and text.endswith(f"({code})")):
            text = f"{function}: {INVALID_HANDLE_TEXT} (-1)" if code == -1 else \
                unrecorded_text(function, code)
    else:
        text = unrecorded_text(function, code)
    hint = None
    if explain is not None:
        try:
            hint = explain(code)
        except QMD5820Error:
            hint = None  # the board cannot tell more: the library's text stands alone
    if hint is None:
        hint = HINTS.get((function, code))
    cls = _CLASSES.get((function, code), QMD5820Error)
    return cls(code, function, text, hint)


def check(code: int, function: str, handle: int = 0,
          explain: Optional[Explain] = None) -> int:
    """Raise for a negative result; return the result otherwise."""
    if code < 0:
        raise library_error(code, function, handle, explain)
    return code


def call(function: str, *args: Any) -> int:
    """Call a function that takes no board handle, and check its result."""
    return check(_invoke(getattr(lib(), function), function, args), function)


def _invoke(fn: Any, function: str, args: tuple) -> int:
    try:
        return fn(*args)
    except C.ArgumentError as e:  # the checks should have caught it: never let ctypes out
        raise ArgumentError("arguments", f"of the types {function} takes", args, function) \
            from e


class Link:
    """An open board as the package's modules use it: the handle, whether it is closed,
    and a lock that serialises the calls on the board (the library has none: callers must
    not use one board from two threads at once; the data callback of an acquisition runs
    on its own thread). Opens of one board share its handle and so its lock."""

    def __init__(self, handle: int, name: str) -> None:
        self.handle = handle
        self.name = name          # "board 0", for messages
        self.closed = False
        with _LOCKS_LOCK:  # one lock per board handle, shared by every Board object of it
            self.lock = _LOCKS.setdefault(handle, threading.RLock())

    def ensure_open(self) -> None:
        if self.closed:
            raise BoardClosedError(None, None, f"{self.name} is closed")

    def do(self, function: str, *args: Any, explain: Optional[Explain] = None) -> int:
        """Call `function` on this board and check its result (the last-error text is read
        while the lock is held, so it is this call's)."""
        self.ensure_open()
        fn = getattr(lib(), function)
        with self.lock:
            code = _invoke(fn, function, (self.handle,) + args)
            if code < 0:
                raise library_error(code, function, self.handle, explain)
        return code

    def out_u8(self, function: str, *args: Any) -> int:
        v = C.c_uint8()
        self.do(function, *args, C.byref(v))
        return v.value

    def last_error(self) -> str:
        self.ensure_open()
        with self.lock:
            raw = lib().pc_QMD5820_GetLastError(self.handle)
        return raw.decode("latin-1") if raw else ""

    # ---- interrupt routines -------------------------------------------------------------

    def install_routine(self, callback: Optional[InterruptCallback], owner: str) -> "Routine":
        """Install a routine for this board's interrupts. Not under the lock: a callback
        may call the board, and removing a routine waits for the interrupt thread."""
        self.ensure_open()
        routine = Routine(callback, owner)
        fn = lib().i_QMD5820_SetBoardIntRoutine
        check(fn(self.handle, routine.c_routine), "i_QMD5820_SetBoardIntRoutine",
              explain=self._explain_installed)
        _ROUTINES[self.handle] = routine
        return routine

    def _explain_installed(self, code: int) -> Optional[str]:
        present = _ROUTINES.get(self.handle)
        if code != -2 or present is None:
            return None
        return (f"{self.name} already has an interrupt routine, installed by {present.owner}: "
                f"one at a time; remove it (or leave that acquisition's with-block) first")

    def remove_routine(self, routine: Optional["Routine"]) -> None:
        """Remove the board's routine (the library waits for its thread), then raise the
        first exception `routine`'s callback raised, if any."""
        self.ensure_open()
        fn = lib().i_QMD5820_ResetBoardIntRoutine
        try:
            check(fn(self.handle), "i_QMD5820_ResetBoardIntRoutine")
        finally:
            _ROUTINES.pop(self.handle, None)  # the library holds no routine for it now
        if routine is not None:
            routine.raise_errors()


class Routine:
    """One installed interrupt routine: the ctypes callback kept alive as long as the
    library may call it, the Python callback, and the exceptions it raised (never let
    through into the library's thread)."""

    def __init__(self, callback: Optional[InterruptCallback], owner: str) -> None:
        self.callback = callback
        self.owner = owner
        self.errors: list[BaseException] = []
        self.error_count = 0
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
                self.error_count += 1
                if len(self.errors) < 100:  # memory stays bounded however often it fails
                    self.errors.append(e)

    def raise_errors(self) -> None:
        if self.errors:
            first = self.errors[0]
            raise InterruptRoutineError(
                None, None, f"the interrupt callback raised {self.error_count} time(s); "
                f"first: {first!r}") from first


# The routine the package installed on each board handle of this process (the library
# keeps one per board), and the lock of each handle.
_ROUTINES: dict[int, Routine] = {}
_LOCKS: dict[int, threading.RLock] = {}
_LOCKS_LOCK = threading.Lock()
