"""Transducer channels and the transducer database: Board methods (a part of Board, kept
apart by concern), the prepared multi-channel reader, and the over-range test of raw codes."""
from __future__ import annotations

import ctypes as C
import math
from dataclasses import dataclass
from typing import Iterable, Optional, Sequence, Union

import numpy as np
from numpy.typing import ArrayLike, NDArray

from . import _args, _tables
from ._calls import Link, lib, library_error
from .errors import ArgumentError

FULL_SCALE = 0x7FFF
"""Magnitude of a raw code at the transducer's range. The board gives no more: a position
at or beyond the range reads as full scale, so full scale means "at the range or beyond"."""


def over_range(raw: ArrayLike) -> NDArray[np.bool_]:
    """True where raw codes are at full scale (either sign): the position may be beyond the
    range, and the metric value is then the range, not the position."""
    return (np.asarray(raw, dtype=np.uint16) & FULL_SCALE) == FULL_SCALE


@dataclass(frozen=True)
class Transducer:
    """A transducer type of the board's database (units as stored: range in the metric
    unit of the readings, sensitivity in mV/V per unit, frequency in Hz, voltage in V)."""
    index: int
    range: float
    sensitivity: float
    frequency: float
    primary_voltage: float
    calibration_state: int

    @property
    def calibrated(self) -> bool:
        return bool(self.calibration_state & 1)


Uses = Union[dict[int, int], Iterable[tuple[int, int]]]
"""Channels with their transducer types: ``{channel: transducer index}`` or pairs."""


class ChannelsAndDatabase:
    """The transducer database and the transducer channels of a board."""

    _link: Link
    _readers: dict[tuple[int, ...], "ChannelReader"]

    # ---- transducer database ----------------------------------------------------------------

    def transducer_indexes(self) -> list[int]:
        """The transducer indexes of the board's database, in table order."""
        buf = (C.c_uint8 * 255)()
        n = C.c_uint8()
        self._link.do("i_QMD5820_GetAvailableTransducerTypes", C.addressof(buf), len(buf),
                      C.byref(n))
        return list(buf[: n.value])

    def transducer(self, index: int) -> Transducer:
        """One transducer type of the database."""
        index = _args.database_index(index)
        r, s, f, v = C.c_double(), C.c_double(), C.c_double(), C.c_double()
        state = C.c_uint8()
        self._link.do("i_QMD5820_TransducerDatabaseReadTransducerInfo", index, C.byref(r),
                      C.byref(s), C.byref(f), C.byref(v), C.byref(state))
        return Transducer(index, r.value, s.value, f.value, v.value, state.value)

    def transducers(self) -> list[Transducer]:
        """Every transducer type of the database."""
        return [self.transducer(i) for i in self.transducer_indexes()]

    def add_transducer(self, index: int, range: float, sensitivity: float, frequency: float,
                       primary_voltage: float, impedance: float) -> Transducer:
        """Add a transducer type (written to the board's EEPROM; about a second). Values
        that would make an inconsistent entry are refused before anything is written."""
        index = _args.transducer_index(index, "index")
        values = [_args.real(name, value) for name, value in (
            ("range", range), ("sensitivity", sensitivity), ("frequency", frequency),
            ("primary_voltage", primary_voltage), ("impedance", impedance))]
        problem = _tables.transducer_data_problem(*values)
        if problem is not None:
            raise ArgumentError("transducer data", "a consistent database entry", problem,
                                "i_QMD5820_TransducerDatabaseAdd")
        self._link.do("i_QMD5820_TransducerDatabaseAdd", index, *values)
        return self.transducer(index)

    def delete_transducer(self, index: int) -> None:
        """Delete a transducer type from the database."""
        self._link.do("i_QMD5820_TransducerDatabaseDelete", _args.database_index(index))

    def _missing_types(self, indexes: Iterable[int]) -> Optional[str]:
        """A hint naming the transducer types that are not in the database."""
        present = self.transducer_indexes()
        missing = [i for i in dict.fromkeys(indexes) if i not in present]
        if not missing:
            return None
        listed = ", ".join(str(i) for i in missing)
        return (f"transducer type{'s' if len(missing) > 1 else ''} {listed} "
                f"{'are' if len(missing) > 1 else 'is'} not in the database of "
                f"{self._link.name} (types there: {', '.join(map(str, present)) or 'none'})")

    # ---- channels ---------------------------------------------------------------------------

    def channel_count(self) -> int:
        """Number of transducer channels (16)."""
        return self._link.out_u8("i_QMD5820_GetNumberOfTransducerChannels")

    def init_channel(self, channel: int, transducer_index: int, frequency: float = 0.0) -> None:
        """Initialise `channel` (0 to 15) with a transducer type of the database (0 to 254);
        `frequency` 0.0 uses the transducer's own excitation frequency, otherwise the board
        takes the nearest of its 14 frequencies (1993 to 19531 Hz)."""
        channel = _args.channel(channel)
        index = _args.transducer_index(transducer_index)
        f = _args.frequency(frequency)
        self._link.do("i_QMD5820_Init1TransducerChannel", channel, index, f,
                      explain=lambda code: self._missing_types([index]) if code == -3 else None)

    def init_channels(self, uses: Uses) -> None:
        """Initialise several channels: {channel: transducer index} or (channel, index) pairs."""
        channels, types = _args.channel_uses(uses)
        for channel, index in zip(channels, types):
            self.init_channel(channel, index)

    def read_raw(self, channel: int) -> int:
        """One raw 16-bit code (bit 15 the sign, bits 0-14 the magnitude, 32767 full scale)."""
        v = C.c_uint16()
        self._link.do("i_QMD5820_Read1TransducerChannel", _args.channel(channel), C.byref(v))
        return v.value

    def convert(self, channel: int, raw: int) -> float:
        """A raw code (0 to 65535) of `channel` in metric units (its transducer's range)."""
        v = C.c_double()
        self._link.do("i_QMD5820_Convert1RawToMetricValue", _args.channel(channel),
                      _args.raw_code(raw), C.byref(v))
        return v.value

    def read(self, channel: int) -> float:
        """One channel in metric units (at the range when the position is beyond it: see
        ``over_range``)."""
        return self.convert(channel, self.read_raw(channel))

    def reader(self, channels: Sequence[int]) -> "ChannelReader":
        """A prepared reader of several channels: the fastest way to read the same channels
        over and over."""
        return ChannelReader(self._link, channels)

    def _cached_reader(self, channels: Sequence[int]) -> "ChannelReader":
        reader = None
        try:  # the fast path: plain ints equal to a list checked before
            key = tuple(channels)
            reader = self._readers.get(key)
        except TypeError:  # not iterable, or entries that cannot be hashed
            key = None
        if reader is not None and key is not None and all(type(c) is int for c in key):
            return reader
        # what the caller gave, unless it was an iterator the lookup has consumed
        given = channels if key is None or hasattr(channels, "__len__") else key
        checked = tuple(_args.channel_list(given))
        if len(self._readers) >= 64:
            self._readers.clear()
        reader = self._readers[checked] = ChannelReader(self._link, checked)
        return reader

    def read_many_raw(self, channels: Sequence[int]) -> NDArray[np.uint16]:
        """Raw codes of several channels (1 to 255 entries), in the order given."""
        return self._cached_reader(channels).read_raw()

    def read_many(self, channels: Sequence[int]) -> NDArray[np.float64]:
        """Several channels (1 to 255 entries) in metric units, in the order given."""
        return self._cached_reader(channels).read()


class ChannelReader:
    """Reads a fixed list of channels with two library calls: one read of every raw code,
    one conversion of them all."""

    def __init__(self, link: Link, channels: Sequence[int]) -> None:
        listed = _args.channel_list(channels)
        n = len(listed)
        self._link = link
        self.channels = tuple(listed)
        self.count = n
        self._channels = (C.c_uint8 * n)(*listed)
        self._raw = (C.c_uint16 * n)()
        self._metric = (C.c_double * n)()
        self._pc = C.addressof(self._channels)
        self._pr = C.addressof(self._raw)
        self._pm = C.addressof(self._metric)
        self._read_fn = lib().i_QMD5820_ReadMoreTransducerChannels
        self._conv_fn = lib().i_QMD5820_ConvertMoreRawToMetricValues
        self._raw_np: NDArray[np.uint16] = np.ctypeslib.as_array(self._raw)
        self._metric_np: NDArray[np.float64] = np.ctypeslib.as_array(self._metric)

    def _read_codes(self) -> None:
        code = self._read_fn(self._link.handle, self.count, self._pc, self._pr)
        if code:
            raise library_error(code, "i_QMD5820_ReadMoreTransducerChannels",
                                self._link.handle, self._explain)

    def read_raw(self) -> NDArray[np.uint16]:
        """Raw codes, in the order of the channels."""
        link = self._link
        link.ensure_open()
        with link.lock:
            self._read_codes()
            return self._raw_np.copy()

    def read(self) -> NDArray[np.float64]:
        """Metric values, in the order of the channels (a new array each call)."""
        link = self._link
        link.ensure_open()
        with link.lock:
            self._read_codes()
            code = self._conv_fn(link.handle, self.count, self._pc, self._pr, self._pm)
            if code:
                raise library_error(code, "i_QMD5820_ConvertMoreRawToMetricValues",
                                    link.handle, self._explain)
            return self._metric_np.copy()

    def _explain(self, code: int) -> Optional[str]:
        """Which listed channel is not initialised: the conversion of every entry (no driver
        request) writes the entries before the first uninitialised one and stops there."""
        if code not in (-3, -4):
            return None
        probe = (C.c_double * self.count)(*([math.inf] * self.count))
        zeros = (C.c_uint16 * self.count)()
        self._conv_fn(self._link.handle, self.count, self._pc, C.addressof(zeros),
                      C.addressof(probe))
        for i, value in enumerate(probe):
            if value == math.inf:  # a converted zero code is 0.0 or NaN, never +inf
                return f"channel {self.channels[i]} (entry {i}) is not initialised " \
                       f"(init_channel first)"
        return None
