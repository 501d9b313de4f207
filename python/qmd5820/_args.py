"""Argument checks: every number the package hands to the library is checked here first, so
nothing wraps in ctypes (channel 256 is not channel 0) and nothing reaches C with the wrong
type. A refusal is an ArgumentError naming the argument, what it may be and the value."""
from __future__ import annotations

import math
import operator
from typing import Any, Iterable, Optional, Sequence

from .errors import ArgumentError

U8_MAX, U16_MAX, U32_MAX = 0xFF, 0xFFFF, 0xFFFF_FFFF

CHANNELS = 16          # transducer channels 0 to 15
DIGITAL_CHANNELS = 8   # digital inputs and outputs 0 to 7
BOARD_SLOTS = 30       # the library's board table holds 30 boards
NOT_INITIALISED = 255  # a channel block whose transducer index is 255 counts as not initialised


def integer(name: str, value: Any, low: int, high: int, allowed: Optional[str] = None) -> int:
    """`value` as an int in low..high. Booleans, floats and strings are refused; numpy
    integers and anything else with __index__ are taken."""
    if isinstance(value, bool) or not hasattr(value, "__index__"):
        raise ArgumentError(name, allowed or f"an integer from {low} to {high}", value)
    number = operator.index(value)
    if not low <= number <= high:
        raise ArgumentError(name, allowed or f"an integer from {low} to {high}", value)
    return number


def one_of(name: str, value: Any, choices: Iterable[int]) -> int:
    """`value` as an int that is one of `choices`."""
    options = tuple(choices)
    words = ", ".join(str(c) for c in options[:-1]) + f" or {options[-1]}"
    allowed = f"{words}"
    if isinstance(value, bool) or not hasattr(value, "__index__") or \
            operator.index(value) not in options:
        raise ArgumentError(name, allowed, value)
    return operator.index(value)


def flag(name: str, value: Any) -> int:
    """A switch: True/False or 1/0, as 1 or 0 (a string such as "off" is refused: it would
    count as true)."""
    if isinstance(value, bool):
        return int(value)
    if hasattr(value, "__index__") and operator.index(value) in (0, 1):
        return operator.index(value)
    raise ArgumentError(name, "True or False (or 1 or 0)", value)


def real(name: str, value: Any, *, low: float = -math.inf, high: float = math.inf,
         low_open: bool = False, zero: bool = True, allowed: Optional[str] = None) -> float:
    """`value` as a finite float within [low, high] ((low, high] with `low_open`); 0.0 is
    refused when `zero` is False. Strings, None and booleans are refused."""
    text = allowed or _range_text(low, high, low_open, zero)
    if isinstance(value, (bool, str, bytes)) or value is None:
        raise ArgumentError(name, text, value)
    try:
        number = float(value)
    except (TypeError, ValueError, OverflowError):
        raise ArgumentError(name, text, value) from None
    if not math.isfinite(number) or number > high or number < low or \
            (low_open and number == low) or (not zero and number == 0.0):
        raise ArgumentError(name, text, value)
    return number


def _range_text(low: float, high: float, low_open: bool, zero: bool) -> str:
    parts = ["a finite number"]
    if low > -math.inf:
        parts.append(f"{'above' if low_open else 'at least'} {low:g}")
    if high < math.inf:
        parts.append(f"at most {high:g}")
    if not zero:
        parts.append("not 0")
    return ", ".join(parts)


# ---- the board's own quantities --------------------------------------------------------------

def board_index(value: Any) -> int:
    return integer("index", value, 0, BOARD_SLOTS - 1, f"a board index from 0 to {BOARD_SLOTS - 1}")


def channel(value: Any, name: str = "channel") -> int:
    return integer(name, value, 0, CHANNELS - 1, f"a transducer channel from 0 to {CHANNELS - 1}")


def digital_channel(value: Any, name: str = "channel") -> int:
    return integer(name, value, 0, DIGITAL_CHANNELS - 1,
                   f"a digital channel from 0 to {DIGITAL_CHANNELS - 1}")


def mask(value: Any, name: str = "mask") -> int:
    return integer(name, value, 0, U8_MAX, "a bit mask from 0 to 255 (0x00 to 0xFF)")


def transducer_index(value: Any, name: str = "transducer_index") -> int:
    """A transducer type the library can use on a channel: 255 marks a channel as not
    initialised, so a type 255 could never be measured."""
    return integer(name, value, 0, NOT_INITIALISED - 1, "a transducer index from 0 to 254")


def database_index(value: Any, name: str = "index") -> int:
    """A transducer index to look up or delete: any byte (255 included, to remove one that
    got there)."""
    return integer(name, value, 0, U8_MAX, "a transducer index from 0 to 255")


def raw_code(value: Any, name: str = "raw") -> int:
    return integer(name, value, 0, U16_MAX, "a raw 16-bit code from 0 to 65535")


def u32(name: str, value: Any) -> int:
    return integer(name, value, 0, U32_MAX, "an unsigned 32-bit integer (0 to 4294967295)")


def channel_list(channels: Any, name: str = "channels", most: int = U8_MAX) -> list[int]:
    """A non-empty sequence of transducer channels (at most `most` entries)."""
    if isinstance(channels, (str, bytes)) or not hasattr(channels, "__len__") or \
            not hasattr(channels, "__iter__"):
        raise ArgumentError(name, f"a sequence of 1 to {most} transducer channels", channels)
    values = list(channels)
    if not 1 <= len(values) <= most:
        raise ArgumentError(name, f"a sequence of 1 to {most} transducer channels", channels)
    return [channel(c, f"{name}[{i}]") for i, c in enumerate(values)]


def channel_uses(uses: Any, name: str = "uses") -> tuple[list[int], list[int]]:
    """{channel: transducer index} or (channel, index) pairs, 1 to 16 of them, as the
    channel list and the transducer list. A channel may be listed twice (read twice per
    sequence), but only with the same transducer type: the second initialisation would
    otherwise convert the first entry with the other type's range."""
    allowed = "{channel: transducer index} or (channel, transducer index) pairs, 1 to 16"
    if isinstance(uses, dict):
        pairs: Sequence[Any] = list(uses.items())
    elif isinstance(uses, (str, bytes)) or not hasattr(uses, "__iter__"):
        raise ArgumentError(name, allowed, uses)
    else:
        pairs = list(uses)
    if not 1 <= len(pairs) <= CHANNELS:
        raise ArgumentError(name, allowed, uses)
    channels: list[int] = []
    types: list[int] = []
    seen: dict[int, int] = {}
    for i, pair in enumerate(pairs):
        if isinstance(pair, (str, bytes)) or not hasattr(pair, "__len__") or len(pair) != 2:
            raise ArgumentError(f"{name}[{i}]", "a (channel, transducer index) pair", pair)
        c = channel(pair[0], f"{name}[{i}] channel")
        t = transducer_index(pair[1], f"{name}[{i}] transducer index")
        if seen.get(c, t) != t:
            raise ArgumentError(f"{name}[{i}]", f"transducer type {seen[c]} for channel {c}, "
                                f"as listed before", pair)
        seen[c] = t
        channels.append(c)
        types.append(t)
    return channels, types


def frequency(value: Any, name: str = "frequency") -> float:
    """An excitation frequency for a channel: 0.0 for the transducer's own, else the board
    takes the nearest of its 14 frequencies (1993 to 19531 Hz)."""
    return real(name, value, low=0.0, high=1e6,
                allowed="0.0 (the transducer's own) or a frequency above 0 up to 1e6 Hz")


def position(value: Any, name: str = "position") -> float:
    return real(name, value, zero=False, allowed="a finite position other than 0.0")


def seconds(value: Any, name: str, low: float = 0.0, high: float = 86400.0) -> float:
    return real(name, value, low=low, high=high, low_open=True,
                allowed=f"a time in seconds above {low:g}, at most {high:g}")


def choice(name: str, value: Any, choices: Iterable[str]) -> str:
    options = tuple(choices)
    if not isinstance(value, str) or value not in options:
        raise ArgumentError(name, " or ".join(repr(o) for o in options), value)
    return value


def callable_or_none(name: str, value: Any) -> Any:
    if value is not None and not callable(value):
        raise ArgumentError(name, "a callable or None", value)
    return value


def text(name: str, value: Any, most: int) -> bytes:
    """A board identifier as the library takes it: latin-1, no NUL (C would stop there and
    match a shorter identifier), 1 to `most` characters."""
    allowed = f"a text of 1 to {most} latin-1 characters without NUL"
    if not isinstance(value, str) or not 1 <= len(value) <= most or "\0" in value:
        raise ArgumentError(name, allowed, value)
    try:
        return value.encode("latin-1")
    except UnicodeEncodeError:
        raise ArgumentError(name, allowed, value) from None
