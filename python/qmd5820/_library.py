"""Loading the board library and declaring the prototypes of its functions.

The library is looked up, in this order:

1. the file named by the environment variable ``QMD5820_LIBRARY``;
2. a copy bundled inside this package (a wheel built with the library);
3. the library of the CMake installation the package came with;
4. the system: the dynamic loader's search path (``libQMD5820.so``, ``QMD5820.dll``).
"""
from __future__ import annotations

import ctypes as C
import ctypes.util
import importlib
import os
import sys
from pathlib import Path
from typing import Any, Optional

from .errors import LibraryLoadError

HANDLE = C.c_uint64
U8, U16, U32, U64 = C.c_uint8, C.c_uint16, C.c_uint32, C.c_uint64
I16, I32 = C.c_int16, C.c_int32
DOUBLE = C.c_double
P = C.POINTER
VOID_P = C.c_void_p  # arrays are passed by address: the hot paths hand in ctypes.addressof

# The interrupt routine called on the board's interrupt thread.
INTERRUPT_ROUTINE = C.CFUNCTYPE(None, HANDLE, U8, U32, U32, P(U32), U32)

# name: (result type, argument types)
PROTOTYPES: dict[str, tuple[Any, list[Any]]] = {
    "i_QMD5820_GetNumberOfBoards": (I16, [P(U8)]),
    "i_QMD5820_OpenBoardViaIndex": (I16, [U8, P(HANDLE)]),
    "i_QMD5820_OpenBoardViaIdentifier": (I16, [C.c_char_p, P(HANDLE)]),
    "i_QMD5820_CloseBoard": (I16, [HANDLE]),
    "i_QMD5820_GetBoardInformation": (I16, [U8, U32, C.c_char_p] + [P(U32)] * 7 + [P(U8)]),
    "i_QMD5820_GetDLLVersion": (I16, [P(U32)]),
    "i_QMD5820_GetDeviceDriverVersion": (I16, [HANDLE, P(U32)]),
    "i_QMD5820_GetFirmwareVersion": (I16, [HANDLE, P(U32)]),
    "i_QMD5820_GetBoardHardwareRevision": (I16, [HANDLE, C.c_char_p]),
    "i_QMD5820_GetBoardSerialNumber": (I16, [HANDLE, P(U32)]),
    "pc_QMD5820_GetLastError": (C.c_char_p, [HANDLE]),
    "i_QMD5820_SetBoardIntRoutine": (I16, [HANDLE, INTERRUPT_ROUTINE]),
    "i_QMD5820_ResetBoardIntRoutine": (I16, [HANDLE]),
    "i_QMD5820_GetAvailableTransducerTypes": (I16, [HANDLE, VOID_P, U8, P(U8)]),
    "i_QMD5820_TransducerDatabaseReadTransducerInfo":
        (I16, [HANDLE, U8, P(DOUBLE), P(DOUBLE), P(DOUBLE), P(DOUBLE), P(U8)]),
    "i_QMD5820_TransducerDatabaseAdd": (I16, [HANDLE, U8] + [DOUBLE] * 5),
    "i_QMD5820_TransducerDatabaseDelete": (I16, [HANDLE, U8]),
    "i_QMD5820_GetNumberOfTransducerChannels": (I16, [HANDLE, P(U8)]),
    "i_QMD5820_Init1TransducerChannel": (I16, [HANDLE, U8, U8, DOUBLE]),
    "i_QMD5820_Read1TransducerChannel": (I16, [HANDLE, U8, P(U16)]),
    "i_QMD5820_ReadMoreTransducerChannels": (I16, [HANDLE, U8, VOID_P, VOID_P]),
    "i_QMD5820_Convert1RawToMetricValue": (I16, [HANDLE, U8, U16, P(DOUBLE)]),
    "i_QMD5820_ConvertMoreRawToMetricValues": (I16, [HANDLE, U8, VOID_P, VOID_P, VOID_P]),
    "i_QMD5820_InitAndStartAutoRefreshAcquisition": (I16, [HANDLE, U8, VOID_P, VOID_P, P(U64)]),
    "i_QMD5820_InitAndStartTransducerSequence":
        (I16, [HANDLE, U16, U32, U8, VOID_P, VOID_P, U32, U8, U8, U32]),
    "l_QMD5820_ReadSequenceData": (I32, [HANDLE, U32, VOID_P]),
    "i_QMD5820_TriggerTransducerAcquisition": (I16, [HANDLE]),
    "i_QMD5820_StopTransducerAcquisition": (I16, [HANDLE]),
    "i_QMD5820_SetConvertTimeDivisionFactor": (I16, [HANDLE, U8]),
    "i_QMD5820_StartCalibration": (I16, [HANDLE, U8, U8, U8, DOUBLE, P(U64)]),
    "i_QMD5820_NextCalibrationStep": (I16, [HANDLE]),
    "i_QMD5820_BreakCalibration": (I16, [HANDLE]),
    "i_QMD5820_CalibrationStart": (I16, [HANDLE, U8, U8, U8, U32, DOUBLE, U8]),
    "i_QMD5820_CalibrationGetCurrentStatus": (I16, [HANDLE, P(I32), P(U32)]),
    "i_QMD5820_CalibrationNextStep": (I16, [HANDLE]),
    "i_QMD5820_CalibrationBreak": (I16, [HANDLE]),
    "i_QMD5820_TestPrimaryLine": (I16, [HANDLE, P(U8)]),
    "i_QMD5820_RearmPrimaryLine": (I16, [HANDLE]),
    "i_QMD5820_CalibratePrimaryLineTest": (I16, [HANDLE]),
    "i_QMD5820_EnableDisableShortCircuitInterrupts": (I16, [HANDLE, U8]),
    "i_QMD5820_Read1DigitalInput": (I16, [HANDLE, U8, P(U8)]),
    "i_QMD5820_Read8DigitalInputs": (I16, [HANDLE, P(U8)]),
    "i_QMD5820_Set1DigitalOutputOn": (I16, [HANDLE, U8]),
    "i_QMD5820_Set1DigitalOutputOff": (I16, [HANDLE, U8]),
    "i_QMD5820_Set8DigitalOutputsOn": (I16, [HANDLE, U8]),
    "i_QMD5820_Set8DigitalOutputsOff": (I16, [HANDLE, U8]),
    "i_QMD5820_SetDigitalOutputMemoryOn": (I16, [HANDLE]),
    "i_QMD5820_SetDigitalOutputMemoryOff": (I16, [HANDLE]),
    "i_QMD5820_Get1DigitalOutputStatus": (I16, [HANDLE, U8, P(U8)]),
    "i_QMD5820_Get8DigitalOutputsStatus": (I16, [HANDLE, P(U8)]),
    "i_QMD5820_InitAndStartTimer": (I16, [HANDLE, U8, U16, U8]),
    "i_QMD5820_StopTimer": (I16, [HANDLE]),
    "i_QMD5820_TriggerTimer": (I16, [HANDLE]),
    "i_QMD5820_ReadTimerStatus": (I16, [HANDLE, P(U8), P(U8), P(U16)]),
    "i_QMD5820_ReadTimerValue": (I16, [HANDLE, P(U16)]),
    "i_QMD5820_LoadLogicCommand": (I16, [HANDLE, U32]),
    "i_QMD5820_LoadLogicWrite": (I16, [HANDLE, U32]),
    "i_QMD5820_LoadLogicRead": (I16, [HANDLE, P(U32)]),
    "i_QMD5820_GetLoadLogicStatus": (I16, [HANDLE, P(U8)]),
}


def _bundled() -> list[Path]:
    here = Path(__file__).resolve().parent / "_lib"
    if sys.platform == "win32":
        return [p for p in [here / "QMD5820.dll"] if p.exists()]
    # The library under its soname (libQMD5820.so.<major>), or unversioned.
    return sorted(here.glob("libQMD5820.so.*")) + [p for p in [here / "libQMD5820.so"]
                                                   if p.exists()]


def _candidates() -> list[str]:
    found: list[str] = []
    env = os.environ.get("QMD5820_LIBRARY")
    if env:
        return [env]  # an explicit choice is never second-guessed
    found += [str(p) for p in _bundled()]
    try:  # written by `cmake --install`: the library of the same installation
        installed = importlib.import_module(f"{__package__}._installed")
        found.append(os.path.normpath(Path(__file__).resolve().parent / installed.LIBRARY))
    except ImportError:
        pass
    if sys.platform == "win32":
        found.append("QMD5820.dll")
    else:
        found.append("libQMD5820.so")
        system = ctypes.util.find_library("QMD5820")
        if system:
            found.append(system)
    return found


def _declare(lib: C.CDLL) -> None:
    for name, (restype, argtypes) in PROTOTYPES.items():
        fn = getattr(lib, name)
        fn.restype = restype
        fn.argtypes = argtypes


_lib: Optional[C.CDLL] = None
_path: Optional[str] = None


def load() -> C.CDLL:
    """The loaded board library (loaded on first use)."""
    global _lib, _path
    if _lib is not None:
        return _lib
    errors = []
    for candidate in _candidates():
        try:
            lib = C.CDLL(candidate)
        except OSError as e:
            errors.append(f"{candidate}: {e}")
            continue
        _declare(lib)
        _lib, _path = lib, candidate
        return lib
    raise LibraryLoadError(None, None, "the QMD5820 library cannot be loaded (set "
                           "QMD5820_LIBRARY to its path); tried: " + "; ".join(errors))


def path() -> Optional[str]:
    """Where the loaded library came from (None before the first load)."""
    return _path
