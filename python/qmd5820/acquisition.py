"""Continuous acquisition: the blocks a sequence acquisition hands out, the conversion of raw
codes through the library, and the auto-refresh acquisition. The sequence acquisition
itself is in qmd5820.sequence."""
from __future__ import annotations

import ctypes as C
from dataclasses import dataclass
from typing import Any, Callable, Optional

import numpy as np
from numpy.typing import NDArray

from . import _args
from ._calls import Link, lib, library_error
from .channels import Uses, over_range
from .errors import StateError

OVER_RANGE_CHOICES = ("flag", "nan")
ExplainTypes = Callable[[list[int]], Optional[str]]


@dataclass(frozen=True, eq=False)
class Block:
    """Metric values of consecutive sequences of a sequence acquisition.

    ``values`` (sequences x channels, float64) and ``raw`` (uint16) in the order of the
    acquisition's channels; ``sequences`` the number of each row's sequence, counted from 0
    at the start of the acquisition (consecutive unless blocks were dropped in between);
    ``arrived`` the host time (``time.time()``) at which the board announced the newest of
    these sequences; ``over_range`` True where a code is at full scale (the position may be
    beyond the range: the value is the range, or NaN when the acquisition was asked for
    ``over_range="nan"``); ``backlog`` the blocks announced by the board but not yet taken
    when this one was handed out (0: the data are as fresh as the board's last block).

    ``np.asarray(block)`` is ``block.values``.
    """
    values: NDArray[np.float64]
    raw: NDArray[np.uint16]
    sequences: NDArray[np.int64]
    arrived: float
    channels: tuple[int, ...]
    over_range: NDArray[np.bool_]
    backlog: int

    @property
    def first_sequence(self) -> int:
        """The number of the first sequence (0 for the first of the acquisition)."""
        return int(self.sequences[0])

    def __len__(self) -> int:
        return len(self.values)

    def __array__(self, dtype: Any = None, copy: Optional[bool] = None) -> NDArray[Any]:
        if dtype is None and not copy:
            return self.values
        return np.array(self.values, dtype=dtype, copy=True)

    def rows(self, start: int, stop: int) -> "Block":
        """Sequences `start` to `stop` - 1 of this block, as a block."""
        return Block(self.values[start:stop], self.raw[start:stop],
                     self.sequences[start:stop], self.arrived, self.channels,
                     self.over_range[start:stop], self.backlog)

    @staticmethod
    def join(parts: list["Block"]) -> "Block":
        """One block of the rows of `parts`, in order."""
        if len(parts) == 1:
            return parts[0]
        return Block(np.concatenate([p.values for p in parts]),
                     np.concatenate([p.raw for p in parts]),
                     np.concatenate([p.sequences for p in parts]),
                     max(p.arrived for p in parts), parts[0].channels,
                     np.concatenate([p.over_range for p in parts]), parts[-1].backlog)


class Converter:
    """Converts raw codes of a repeating channel list to metric values through the library,
    up to 255 codes per call (whole sequences), into a flat array of doubles."""

    def __init__(self, link: Link, channels: list[int]) -> None:
        self.link = link
        n = len(channels)
        self.per_call = (255 // n) * n
        self.channels = (C.c_uint8 * self.per_call)(*(channels * (self.per_call // n)))
        self.fn = lib().i_QMD5820_ConvertMoreRawToMetricValues

    def convert(self, raw_address: int, out_address: int, count: int) -> None:
        link, pc = self.link, C.addressof(self.channels)
        link.ensure_open()
        with link.lock:
            done = 0
            while done < count:
                n = min(self.per_call, count - done)
                code = self.fn(link.handle, n, pc, raw_address + 2 * done, out_address + 8 * done)
                if code:
                    raise library_error(code, "i_QMD5820_ConvertMoreRawToMetricValues",
                                        link.handle)
                done += n


def channel_array(values: list[int]) -> Any:
    """A channel or transducer list as the library takes it: always 16 entries."""
    return (C.c_uint8 * 16)(*values)


class AutoRefresh:
    """An auto-refresh acquisition: the board keeps the latest code of every listed channel
    in memory that ``values()`` reads and converts. Stops the acquisition on exit.

    ``over_range="nan"`` gives NaN instead of the range where a code is at full scale;
    ``qmd5820.over_range(ar.raw())`` tells where that is.
    """

    def __init__(self, link: Link, uses: Uses, over_range: str = "flag",
                 explain_types: Optional[ExplainTypes] = None) -> None:
        self._link = link
        self.channels, self.transducers = _args.channel_uses(uses)
        self.over_range = _args.choice("over_range", over_range, OVER_RANGE_CHOICES)
        self._explain_types = explain_types
        self._address = 0
        self._conv = Converter(link, self.channels)
        self._out = (C.c_double * len(self.channels))()

    def __enter__(self) -> "AutoRefresh":
        address = C.c_uint64()
        channels, transducers = channel_array(self.channels), channel_array(self.transducers)
        self._link.do("i_QMD5820_InitAndStartAutoRefreshAcquisition", len(self.channels),
                      C.addressof(channels), C.addressof(transducers), C.byref(address),
                      explain=self._explain_start)
        self._address = address.value
        return self

    def _explain_start(self, code: int) -> Optional[str]:
        if code != -5 or self._explain_types is None:
            return None
        return self._explain_types(self.transducers)

    def __exit__(self, *exc: Any) -> None:
        self._address = 0
        self._link.do("i_QMD5820_StopTransducerAcquisition")

    def raw(self) -> NDArray[np.uint16]:
        """The latest codes, one per listed channel."""
        if not self._address:
            raise StateError(None, None, "the auto-refresh acquisition is not running")
        self._link.ensure_open()
        return np.array((C.c_uint16 * len(self.channels)).from_address(self._address),
                        dtype=np.uint16)

    def values(self) -> NDArray[np.float64]:
        """The latest metric values, one per listed channel."""
        codes = self.raw()
        raw = (C.c_uint16 * len(codes))(*codes.tolist())
        self._conv.convert(C.addressof(raw), C.addressof(self._out), len(codes))
        values = np.array(self._out, dtype=np.float64)
        if self.over_range == "nan":
            values[over_range(codes)] = np.nan
        return values
