"""Board methods for the digital inputs and outputs, the timer, the logic load channel and
the primary line (a part of Board, kept apart by concern)."""
from __future__ import annotations

import ctypes as C

from . import _args
from ._calls import Link


class DigitalIOAndTimer:
    """Digital I/O (channels 0 to 7), timer, logic load channel, primary line."""

    _link: Link

    # ---- digital inputs and outputs --------------------------------------------------------

    def read_inputs(self) -> int:
        """The 8 digital inputs as a bit mask (bit n = input n)."""
        return self._link.out_u8("i_QMD5820_Read8DigitalInputs")

    def read_input(self, channel: int) -> bool:
        """One digital input (0 to 7)."""
        return bool(self._link.out_u8("i_QMD5820_Read1DigitalInput",
                                      _args.digital_channel(channel)))

    def outputs_on(self, mask: int) -> None:
        """Switch on the outputs whose bits are set in `mask` (0 to 255); the others keep
        their state."""
        self._link.do("i_QMD5820_Set8DigitalOutputsOn", _args.mask(mask))

    def outputs_off(self, mask: int) -> None:
        """Switch off the outputs whose bits are set in `mask` (0 to 255); the others keep
        their state."""
        self._link.do("i_QMD5820_Set8DigitalOutputsOff", _args.mask(mask))

    def set_output(self, channel: int, on: bool) -> None:
        """Switch one output (0 to 7) on or off."""
        channel = _args.digital_channel(channel)
        function = "i_QMD5820_Set1DigitalOutputOn" if _args.flag("on", on) else \
            "i_QMD5820_Set1DigitalOutputOff"
        self._link.do(function, channel)

    def read_outputs(self) -> int:
        """The state of the 8 outputs as a bit mask."""
        return self._link.out_u8("i_QMD5820_Get8DigitalOutputsStatus")

    def read_output(self, channel: int) -> bool:
        """The state of one output (0 to 7)."""
        return bool(self._link.out_u8("i_QMD5820_Get1DigitalOutputStatus",
                                      _args.digital_channel(channel)))

    def output_memory(self, on: bool) -> None:
        """Switch the digital output memory on or off."""
        self._link.do("i_QMD5820_SetDigitalOutputMemoryOn" if _args.flag("on", on) else
                      "i_QMD5820_SetDigitalOutputMemoryOff")

    # ---- timer -------------------------------------------------------------------------------

    def start_timer(self, time_base: int, reload_value: int, interrupts: bool = False) -> None:
        """Start the timer: `time_base` 0 (1 us), 1 (1 ms) or 2 (1 s) per count; it counts
        `reload_value` (1 to 65535) down to 0 and reloads; a timer interrupt per period if
        asked."""
        self._link.do("i_QMD5820_InitAndStartTimer",
                      _args.integer("time_base", time_base, 0, 2,
                                    "0 (1 us), 1 (1 ms) or 2 (1 s)"),
                      _args.integer("reload_value", reload_value, 1, _args.U16_MAX),
                      _args.flag("interrupts", interrupts))

    def stop_timer(self) -> None:
        """Stop the timer; it keeps its count."""
        self._link.do("i_QMD5820_StopTimer")

    def trigger_timer(self) -> None:
        """Reload the timer's count (a running timer keeps running)."""
        self._link.do("i_QMD5820_TriggerTimer")

    def timer_status(self) -> tuple[int, int, int]:
        """(status byte 1, status byte 2, status word)."""
        a, b, w = C.c_uint8(), C.c_uint8(), C.c_uint16()
        self._link.do("i_QMD5820_ReadTimerStatus", C.byref(a), C.byref(b), C.byref(w))
        return a.value, b.value, w.value

    def timer_value(self) -> int:
        """The timer's current count."""
        v = C.c_uint16()
        self._link.do("i_QMD5820_ReadTimerValue", C.byref(v))
        return v.value

    # ---- logic load channel (a pass-through: commands and data are the board's) -------------

    def logic_command(self, command: int) -> None:
        """Logic load command (unsigned 32 bits; on the simulated board 1 begins a load, 2
        ends it, 3 rewinds the read pointer)."""
        self._link.do("i_QMD5820_LoadLogicCommand", _args.u32("command", command))

    def logic_write(self, data: int) -> None:
        """Append one word (unsigned 32 bits) to the open load."""
        self._link.do("i_QMD5820_LoadLogicWrite", _args.u32("data", data))

    def logic_read(self) -> int:
        """The next word of the loaded logic."""
        v = C.c_uint32()
        self._link.do("i_QMD5820_LoadLogicRead", C.byref(v))
        return v.value

    def logic_status(self) -> int:
        """Logic load status byte."""
        return self._link.out_u8("i_QMD5820_GetLoadLogicStatus")

    # ---- primary line -----------------------------------------------------------------------

    def test_primary_line(self) -> int:
        """Primary line status byte (bit 1: a short circuit is latched; bit 0: the detection
        responds under the line test). Takes 500 ms."""
        return self._link.out_u8("i_QMD5820_TestPrimaryLine")

    def rearm_primary_line(self) -> None:
        """Clear a latched short circuit."""
        self._link.do("i_QMD5820_RearmPrimaryLine")

    def calibrate_primary_line_test(self) -> None:
        """Adjust the line test threshold (about a second)."""
        self._link.do("i_QMD5820_CalibratePrimaryLineTest")

    def short_circuit_interrupts(self, enabled: bool) -> None:
        """Switch the short-circuit interrupts on or off."""
        self._link.do("i_QMD5820_EnableDisableShortCircuitInterrupts",
                      _args.flag("enabled", enabled))
