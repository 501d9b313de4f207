"""Texts and limits the package shares with the library and the tool: the calibration
worker's statuses and failure meanings, and the one check of transducer data.

Placeholder with the shared API, written by hand from the package's former status table;
the file generated from the library's header replaces it.
"""
from __future__ import annotations

import math
from typing import Optional

STATUS_NAMES: dict[int, str] = {
    0: "IDLE", 1: "PRIMARY_LINE", 2: "PREPARE",
    3: "GROUP0_OPEN", 4: "GROUP0_SYMMETRY", 5: "GROUP0_FIRST_LEVEL", 6: "GROUP0_SECOND_LEVEL",
    7: "WAIT_ZERO", 25: "WAIT_FIRST_CONFIRMATION", 8: "BALANCE", 9: "WAIT_POSITIONS",
    10: "GROUP0_FIRST_POSITION", 11: "GROUP0_SECOND_POSITION",
    12: "GROUP1_OPEN", 13: "GROUP1_SYMMETRY", 14: "GROUP1_FIRST_LEVEL",
    15: "GROUP1_SECOND_LEVEL", 16: "WAIT_GROUP1_POSITIONS",
    17: "GROUP1_FIRST_POSITION", 18: "GROUP1_SECOND_POSITION",
    19: "WAIT_THRESHOLD", 20: "THRESHOLD", 21: "STORE", 22: "DONE", 23: "FAILED",
    24: "RESTORE",
}

STATUS_TEXTS: dict[int, str] = {
    0: "idle", 1: "checking the primary line", 2: "preparing the configuration block",
    3: "group 0: opening the adjustment", 4: "group 0: symmetry", 5: "group 0: first level",
    6: "group 0: second level", 7: "waiting for the transducer's zero",
    25: "waiting for the first confirmation (transducer at its zero)",
    8: "excitation balance",
    9: "waiting before the positions (transducer at the position)",
    10: "group 0: first position", 11: "group 0: second position",
    12: "group 1: opening the adjustment", 13: "group 1: symmetry",
    14: "group 1: first level", 15: "group 1: second level",
    16: "waiting before the group 1 positions (group 1 transducer at the position)",
    17: "group 1: first position", 18: "group 1: second position",
    19: "waiting before the threshold search", 20: "searching the primary line test threshold",
    21: "storing the result", 22: "done", 23: "failed", 24: "restoring after a break",
}


def status_text(status: int) -> str:
    """What a worker status (or a failed phase) means."""
    return STATUS_TEXTS.get(status, f"status {status}")


_SEARCH_FAILURES = {1: "a potentiometer write failed", 10: "sampling the live values failed"}
_FAILURES: dict[int, dict[int, str]] = {
    1: {1: "switching the primary line test on failed",
        2: "reading the primary line status failed",
        3: "switching the primary line test off failed",
        4: "a short circuit persists after one rearm"},
    2: {1: "reading or writing the configuration block failed"},
    3: {1: "the open request failed", 2: "the start request failed"},
    12: {1: "the open request failed", 2: "the start request failed"},
    6: {1: "a potentiometer write failed",
        10: "sampling failed, or ending the level adjustment failed"},
    15: {1: "a potentiometer write failed",
         10: "sampling failed, or ending the level adjustment failed"},
    25: {1: "writing the unity excitation table failed",
         10: "sampling during the wait for the transducer's zero failed"},
    8: {1: "a potentiometer or excitation table write failed",
        10: "sampling the live values failed"},
    20: {1: "switching the primary line test failed", 2: "a potentiometer write failed",
         3: "reading the primary line status failed",
         5: "restoring potentiometer 7 failed"},
    21: {1: "writing the EEPROM failed", 2: "reading the EEPROM failed"},
    24: {1: "ending the level adjustment failed", 2: "ending the position adjustment failed",
         3: "switching the primary line test off failed",
         4: "writing the configuration block back failed",
         5: "restarting the configuration failed"},
}
for _phase in (4, 5, 10, 11, 13, 14, 17, 18):
    _FAILURES[_phase] = _SEARCH_FAILURES


def failure_text(phase: int, code: int) -> str:
    """What a worker failure (status 23: failed phase and code) means."""
    return _FAILURES.get(phase, {}).get(code, f"code {code} of phase {phase}")


# field -> (exclusive minimum, inclusive maximum, unit)
TRANSDUCER_LIMITS: dict[str, tuple[float, float, str]] = {
    "range_mm": (0.0, 1000.0, "mm"),
    "sensitivity": (0.0, 1000.0, "mV/V/mm"),
    "frequency_hz": (0.0, 20000.0, "Hz"),
    "primary_voltage": (0.0, 4.644258620689655, "V"),
    "impedance": (0.0, 1e6, "ohm"),
}


def transducer_data_problem(range_mm: float, sensitivity: float, frequency_hz: float,
                            primary_voltage: float, impedance: float) -> Optional[str]:
    """Why these data-sheet values cannot make a consistent database entry, or None."""
    values = {"range_mm": range_mm, "sensitivity": sensitivity, "frequency_hz": frequency_hz,
              "primary_voltage": primary_voltage, "impedance": impedance}
    for field, value in values.items():
        low, high, unit = TRANSDUCER_LIMITS[field]
        if not isinstance(value, (int, float)) or isinstance(value, bool) or \
                not math.isfinite(value) or not low < value <= high:
            return (f"{field} {value!r} {unit} is outside the range above {low:g} up to "
                    f"{high:g} {unit}")
    return None
