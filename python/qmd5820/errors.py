"""The package's exceptions, all rooted at QMD5820Error, and the texts it carries itself.

    QMD5820Error                      a library call failed (code, function, text), or
    ├── ArgumentError (ValueError)    an argument refused before it reached the library
    ├── BoardClosedError (ValueError) a call on a closed Board
    ├── StateError (RuntimeError)     a call that does not fit the present state
    ├── AcquisitionTimeoutError (TimeoutError)
    ├── OverrunError                  an acquisition's consumer fell too far behind
    ├── CalibrationError              the calibration worker failed (defined in calibration)
    ├── CallbackError                 a callback of the user's raised
    │   └── InterruptRoutineError
    └── LibraryLoadError (OSError)    the board library cannot be loaded

`code` and `function` are the library's result code and exported function name (None when
the package refused the call itself); `text` is the library's last-error text, unchanged;
`hint` says what the text leaves out or gets wrong for this call (None when it is exact).
"""
from __future__ import annotations

from typing import Optional

# The library's texts that this package must repeat because the library records nothing for
# these functions: function -> code -> (catalogued function, catalogued code, text). The
# texts are the catalogue's rows, word for word (tests/test_errors.py compares them with
# the library's catalogue).
_BORROWED: dict[str, dict[int, tuple[str, int, str]]] = {
    "i_QMD5820_SetBoardIntRoutine": {
        code: ("i_QMD5820_SetLabViewInterrupt", code, text) for code, text in {
            -2: "An interrupt routine is already installed. Remove it with "
                "ResetBoardIntRoutine and retry",
            -3: "An error occurred while creating the kill event",
            -4: "An error occurred while creating the interrupt event",
            -5: "An error occurred while creating the interrupt thread",
            -6: "An error occurred while changing the priority of the thread",
            -7: "An error occurred while changing the priority of the interrupt thread",
            -8: "An error occurred while calling the IOCTL function",
        }.items()},
    "i_QMD5820_ResetBoardIntRoutine": {
        -2: ("i_QMD5820_ResetLabViewInterrupt", -2, "No interrupt routine was installed"),
    },
    "i_QMD5820_GetBoardHardwareRevision": {
        -2: ("i_QMD5820_GetNumberOfTransducerChannels", -2, "Unable to read the board's EEPROM"),
    },
    "i_QMD5820_GetBoardSerialNumber": {
        -2: ("i_QMD5820_GetNumberOfTransducerChannels", -2, "Unable to read the board's EEPROM"),
    },
}

INVALID_HANDLE_TEXT = "The h_DeviceHandle parameter is invalid"
"""The library's text of code -1 (an unknown handle), the same for every function."""

# The package's own words for functions that record nothing and have no catalogue rows
# (opens, close, identity). Each code is one the library's header documents.
_OWN: dict[str, dict[int, str]] = {
    "i_QMD5820_GetNumberOfBoards": {-1: "The boards cannot be enumerated"},
    "i_QMD5820_OpenBoardViaIndex": {
        -1: "The boards cannot be enumerated",
        -2: "The b_BoardIndex parameter is wrong (no board has this index)",
        -3: "The device information set cannot be obtained",
        -4: "No device interface has this index",
        -5: "No memory for the device interface details",
        -6: "The device interface details cannot be read",
        -7: "The device cannot be opened",
        -9: "The board counts opens but holds no handle",
    },
    "i_QMD5820_OpenBoardViaIdentifier": {
        -1: "The boards cannot be enumerated",
        -2: "A board's identifier cannot be read",
        -3: "The matching board cannot be opened",
        -4: "No board has this identifier",
    },
    "i_QMD5820_CloseBoard": {
        -1: "Closing the device failed",
        -2: "The h_DeviceHandle parameter is wrong",
    },
    "i_QMD5820_GetBoardInformation": {
        -1: "The board cannot be opened",
        -2: "The board information cannot be read",
    },
    "i_QMD5820_GetDeviceDriverVersion": {-1: "The driver version cannot be read"},
    "i_QMD5820_GetFirmwareVersion": {-1: "The firmware version cannot be read"},
}

# Functions that record nothing: their -1 is an unknown handle unless _OWN says otherwise.
_UNRECORDED = frozenset(_OWN) | frozenset(_BORROWED)

# Where the library's text misleads a Python user, what the package adds (function, code).
# Hints that depend on the board (which transducer type is missing, which channel is not
# initialised) are worked out by the package's call helpers and come before these.
HINTS: dict[tuple[str, int], str] = {
    ("i_QMD5820_Init1TransducerChannel", -3):
        "the transducer type is not in the board's database, or the EEPROM cannot be read",
    ("i_QMD5820_SetBoardIntRoutine", -2):
        "an interrupt routine is already installed on this board (by another Board object "
        "or a running sequence acquisition): remove_interrupt_routine() or leave the "
        "acquisition's with-block first",
    ("i_QMD5820_ResetBoardIntRoutine", -2):
        "no interrupt routine is installed on this board",
    ("i_QMD5820_InitAndStartAutoRefreshAcquisition", -5):
        "a listed transducer type is not in the board's database",
    ("i_QMD5820_InitAndStartTransducerSequence", -10):
        "a listed transducer type is not in the board's database",
    ("i_QMD5820_ReadMoreTransducerChannels", -4):
        "a listed channel is not initialised (init_channel first)",
    ("i_QMD5820_ConvertMoreRawToMetricValues", -3):
        "a listed channel is not initialised (init_channel first)",
    ("i_QMD5820_BreakCalibration", -3):
        "restoring a potentiometer failed: the potentiometers and the excitation table are "
        "as the last step left them; break again",
    ("i_QMD5820_BreakCalibration", -4):
        "the potentiometers were restored, the excitation table was not; break again",
    ("i_QMD5820_CalibrationBreak", -2):
        "the transducer's configuration block holds the run's settings; break again",
    ("i_QMD5820_TransducerDatabaseDelete", -3):
        "the board's database must keep at least one transducer type",
}


def records_result(function: str) -> bool:
    """Whether `function` records its result for pc_QMD5820_GetLastError."""
    return function not in _UNRECORDED


def unrecorded_text(function: str, code: int) -> str:
    """The one-line text of a code of a function that records nothing, in the library's
    form "<function>: <message> (<code>)"."""
    borrowed = _BORROWED.get(function, {}).get(code)
    if borrowed is not None:
        message = borrowed[2]
    elif code == -1 and function not in _OWN:
        message = INVALID_HANDLE_TEXT
    else:
        message = _OWN.get(function, {}).get(code, "Undocumented result")
    return f"{function}: {message} ({code})"


class QMD5820Error(Exception):
    """A failure of the board or of its library, or a call the package refused.

    Attributes:
        code: the library's (negative) result code; None when the package refused the call.
        function: the library's exported function, e.g. ``i_QMD5820_Read1TransducerChannel``
            (None when no library function is concerned).
        text: the library's last-error text, ``"<function>: <message> (<code>)"``, unchanged
            (for the functions that record nothing, the same form built by this package;
            for the package's own refusals, its message).
        hint: what the text leaves out or gets wrong for this call, or None.
    """

    def __init__(self, code: Optional[int], function: Optional[str], text: str,
                 hint: Optional[str] = None) -> None:
        super().__init__(text if hint is None else f"{text} -- {hint}")
        self.code = code
        self.function = function
        self.text = text
        self.hint = hint


class ArgumentError(QMD5820Error, ValueError):
    """An argument the package refused before calling the library: `argument` names it,
    `allowed` says what it may be, `value` is what was given."""

    def __init__(self, argument: str, allowed: str, value: object,
                 function: Optional[str] = None) -> None:
        super().__init__(None, function, f"{argument} must be {allowed}, not {value!r}")
        self.argument = argument
        self.allowed = allowed
        self.value = value


class BoardClosedError(QMD5820Error, ValueError):
    """A call on a Board (or on something made from it) after close()."""


class StateError(QMD5820Error, RuntimeError):
    """A call that does not fit the present state (an acquisition not running, a second
    interrupt routine, a calibration not started)."""


class AcquisitionTimeoutError(QMD5820Error, TimeoutError):
    """Data did not come in time: a sequence block, or a channel read the board timed out
    (code -51)."""


class OverrunError(QMD5820Error):
    """The board announced more blocks than the consumer took, beyond the acquisition's
    `max_backlog`: `announced`, `taken` and `backlog` count blocks."""

    def __init__(self, text: str, announced: int, taken: int) -> None:
        super().__init__(None, None, text)
        self.announced = announced
        self.taken = taken
        self.backlog = announced - taken


class CallbackError(QMD5820Error):
    """A callback of the user's raised; it was kept off the thread that called it and is
    raised here, after the clean-up. The original is the ``__cause__``."""


class InterruptRoutineError(CallbackError):
    """An interrupt callback raised (kept off the library's interrupt thread)."""


class LibraryLoadError(QMD5820Error, OSError):
    """The board library cannot be loaded."""
