"""QMD5820Error: every failure of a library call."""
from __future__ import annotations

# Functions that record nothing in the board (opens, close, identity, interrupt
# installation): their codes are explained here, in the library's own words.
_UNRECORDED: dict[str, dict[int, str]] = {
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
    "i_QMD5820_GetBoardHardwareRevision": {
        -1: "The h_DeviceHandle parameter is wrong",
        -2: "Unable to read the board's EEPROM",
    },
    "i_QMD5820_GetBoardSerialNumber": {
        -1: "The h_DeviceHandle parameter is wrong",
        -2: "Unable to read the board's EEPROM",
    },
    "i_QMD5820_SetBoardIntRoutine": {
        -1: "The h_DeviceHandle parameter is wrong",
        -2: "An interrupt routine is already installed. Remove it with ResetBoardIntRoutine and retry",
        -3: "An error occurred while creating the kill event",
        -4: "An error occurred while creating the interrupt event",
        -5: "An error occurred while creating the interrupt thread",
        -6: "An error occurred while changing the priority of the thread",
        -7: "An error occurred while changing the priority of the interrupt thread",
        -8: "An error occurred while calling the IOCTL function",
    },
    "i_QMD5820_ResetBoardIntRoutine": {
        -1: "The h_DeviceHandle parameter is wrong",
        -2: "No interrupt routine was installed",
    },
}


def records_result(function: str) -> bool:
    """Whether `function` records its result for pc_QMD5820_GetLastError."""
    return function not in _UNRECORDED


def unrecorded_text(function: str, code: int) -> str:
    """The one-line text of a code of a function that records nothing."""
    message = _UNRECORDED.get(function, {}).get(code, "Undocumented result")
    return f"{function}: {message} ({code})"


class QMD5820Error(Exception):
    """A library call failed.

    Attributes:
        code: the (negative) result code the function returned.
        function: the exported name of the function, e.g. ``i_QMD5820_Read1TransducerChannel``.
        text: the library's last-error text for the board, ``"<function>: <message> (<code>)"``
            (for the functions that record nothing, the same form built by this package).
    """

    def __init__(self, code: int, function: str, text: str) -> None:
        super().__init__(text)
        self.code = code
        self.function = function
        self.text = text


class InterruptRoutineError(Exception):
    """An interrupt callback raised; the exception was kept off the library's thread and is
    raised here, after the routine was removed. The original is the ``__cause__``."""
