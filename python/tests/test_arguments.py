"""Every argument of the public API is checked before it reaches the library: a wrong type or
a value out of range is an ArgumentError (a QMD5820Error and a ValueError) that names the
argument and the value, and nothing reaches the board or the library's error record."""
import math
import unittest

import qmd5820
from qmd5820 import ArgumentError, Board, QMD5820Error, sim
from simboard import SimulatedBoardTest, requests, trace_start

NAN, INF = math.nan, math.inf
GOOD_TRANSDUCER = (5.0, 80.0, 6104.0, 2.5, 400.0)  # range, sensitivity, f, voltage, impedance

# (what the call is, the call on an open board 0, the argument named, the value refused)
BOARD_CASES = [
    ("channel 256 would wrap to 0", lambda b: b.init_channel(256, 1), "channel", 256),
    ("negative channel", lambda b: b.init_channel(-1, 1), "channel", -1),
    ("float channel", lambda b: b.init_channel(0.0, 1), "channel", 0.0),
    ("bool channel", lambda b: b.init_channel(True, 1), "channel", True),
    ("type 255 marks a channel uninitialised", lambda b: b.init_channel(0, 255),
     "transducer_index", 255),
    ("type 256", lambda b: b.init_channel(0, 256), "transducer_index", 256),
    ("NaN frequency", lambda b: b.init_channel(0, 1, NAN), "frequency", NAN),
    ("negative frequency", lambda b: b.init_channel(0, 1, -5.0), "frequency", -5.0),
    ("text frequency", lambda b: b.init_channel(0, 1, "10k"), "frequency", "10k"),
    ("read channel 256", lambda b: b.read(256), "channel", 256),
    ("read a float channel", lambda b: b.read(0.0), "channel", 0.0),
    ("read a text channel", lambda b: b.read("0"), "channel", "0"),
    ("raw read of channel 16", lambda b: b.read_raw(16), "channel", 16),
    ("raw code 65536", lambda b: b.convert(0, 65536), "raw", 65536),
    ("raw code -1", lambda b: b.convert(0, -1), "raw", -1),
    ("channel 99 in a list", lambda b: b.read_many([0, 99]), "channels[1]", 99),
    ("empty channel list", lambda b: b.read_many([]), "channels", []),
    ("channels as text", lambda b: b.read_many("01"), "channels", "01"),
    ("reader of channel 16", lambda b: b.reader([0, 16]), "channels[1]", 16),
    ("mask 0x100 would switch nothing", lambda b: b.outputs_on(0x100), "mask", 0x100),
    ("mask -1 would switch all on", lambda b: b.outputs_on(-1), "mask", -1),
    ("mask 256 off", lambda b: b.outputs_off(256), "mask", 256),
    ("digital output 8", lambda b: b.set_output(8, True), "channel", 8),
    ("output switched by a text", lambda b: b.set_output(0, "off"), "on", "off"),
    ("output switched by 2", lambda b: b.set_output(0, 2), "on", 2),
    ("digital input 8", lambda b: b.read_input(8), "channel", 8),
    ("digital output -1", lambda b: b.read_output(-1), "channel", -1),
    ("output memory by a text", lambda b: b.output_memory("yes"), "on", "yes"),
    ("reload 70000 would wrap to 4464", lambda b: b.start_timer(1, 70000), "reload_value", 70000),
    ("reload -5 would wrap to 65531", lambda b: b.start_timer(1, -5), "reload_value", -5),
    ("reload 0", lambda b: b.start_timer(1, 0), "reload_value", 0),
    ("time base 3", lambda b: b.start_timer(3, 10), "time_base", 3),
    ("interrupts 2", lambda b: b.start_timer(1, 10, interrupts=2), "interrupts", 2),
    ("logic command 2**32", lambda b: b.logic_command(2 ** 32), "command", 2 ** 32),
    ("logic word -1", lambda b: b.logic_write(-1), "data", -1),
    ("short-circuit switch 2", lambda b: b.short_circuit_interrupts(2), "enabled", 2),
    ("transducer 256", lambda b: b.transducer(256), "index", 256),
    ("delete transducer -1", lambda b: b.delete_transducer(-1), "index", -1),
    ("add transducer 255", lambda b: b.add_transducer(255, *GOOD_TRANSDUCER), "index", 255),
    ("add a NaN range", lambda b: b.add_transducer(40, NAN, 80.0, 6104.0, 2.5, 400.0),
     "range", NAN),
    ("add a text sensitivity", lambda b: b.add_transducer(40, 5.0, "80", 6104.0, 2.5, 400.0),
     "sensitivity", "80"),
    ("add a zero sensitivity (the shared check)",
     lambda b: b.add_transducer(40, 5.0, 0.0, 6104.0, 2.5, 400.0), "transducer data", None),
    ("division factor 4", lambda b: b.set_convert_time_division_factor(4), "factor", 4),
    ("division factor 256", lambda b: b.set_convert_time_division_factor(256), "factor", 256),
    ("sequence of channel 16", lambda b: b.sequence({16: 1}), "uses[0] channel", 16),
    ("sequence of no channel", lambda b: b.sequence({}), "uses", {}),
    ("0 sequences per interrupt", lambda b: b.sequence({0: 1}, 0), "sequences_per_interrupt", 0),
    ("70000 sequences per interrupt", lambda b: b.sequence({0: 1}, 70000),
     "sequences_per_interrupt", 70000),
    ("odd word count", lambda b: b.sequence({0: 1}, 3), "sequences_per_interrupt", 3),
    ("unknown trigger", lambda b: b.sequence({0: 1}, trigger="hard"), "trigger", "hard"),
    ("zero time-out", lambda b: b.sequence({0: 1}, timeout=0), "timeout", 0),
    ("zero backlog", lambda b: b.sequence({0: 1}, max_backlog=0), "max_backlog", 0),
    ("unknown overrun policy", lambda b: b.sequence({0: 1}, on_overrun="ignore"),
     "on_overrun", "ignore"),
    ("unknown over-range policy", lambda b: b.sequence({0: 1}, over_range="clip"),
     "over_range", "clip"),
    ("negative sequence parameter", lambda b: b.sequence({0: 1}, parameters=(0, 0, -1)),
     "parameters[2]", -1),
    ("block callback not callable", lambda b: b.sequence({0: 1}, on_block=5), "on_block", 5),
    ("one channel with two types", lambda b: b.auto_refresh([(0, 1), (0, 5)]), "uses[1]",
     (0, 5)),
    ("17 channels", lambda b: b.auto_refresh([(c % 16, 1) for c in range(17)]), "uses",
     [(c % 16, 1) for c in range(17)]),
    ("worker type 255", lambda b: b.calibration_worker(255, 3, 1.0, impedance=6),
     "transducer_index", 255),
    ("worker group 0 channel 8", lambda b: b.calibration_worker(1, 8, 1.0, impedance=6),
     "group0_channel", 8),
    ("worker position 0.0", lambda b: b.calibration_worker(1, 3, 0.0, impedance=6),
     "position", 0.0),
    ("worker position NaN", lambda b: b.calibration_worker(1, 3, NAN, impedance=6),
     "position", NAN),
    ("worker impedance 0", lambda b: b.calibration_worker(1, 3, 1.0, impedance=0),
     "impedance", 0),
    ("worker impedance 6.5", lambda b: b.calibration_worker(1, 3, 1.0, impedance=6.5),
     "impedance", 6.5),
    ("worker group 1 channel 3",
     lambda b: b.calibration_worker(1, 3, 1.0, impedance=6, group1_channel=3),
     "group1_channel", 3),
    ("worker model 2", lambda b: b.calibration_worker(1, 3, 1.0, impedance=6, model=2),
     "model", 2),
    ("worker poll every second",
     lambda b: b.calibration_worker(1, 3, 1.0, impedance=6, poll_interval=1.0),
     "poll_interval", 1.0),
    ("step first channel 8", lambda b: b.step_calibration(1, 8, 1.0), "first_channel", 8),
    ("step second channel 7", lambda b: b.step_calibration(1, 3, 1.0, 7), "second_channel", 7),
    ("step position infinite", lambda b: b.step_calibration(1, 3, INF), "position", INF),
    ("interrupt routine not callable", lambda b: b.set_interrupt_routine(5), "callback", 5),
]

# (what, the call, the argument named, the value refused): calls without an open board
MODULE_CASES = [
    ("index as a text", lambda: Board("0"), "index", "0"),
    ("index 30", lambda: Board(index=30), "index", 30),
    ("identifier with NUL would match a prefix", lambda: Board(identifier="QMD5820-DEMO-0\0X"),
     "identifier", "QMD5820-DEMO-0\0X"),
    ("identifier beyond latin-1", lambda: Board(identifier="QMD5820-\u20ac"), "identifier",
     "QMD5820-\u20ac"),
    ("identifier of 53 characters", lambda: Board(identifier="Q" * 53), "identifier", "Q" * 53),
    ("neither index nor identifier", lambda: Board(), "index, identifier", (None, None)),
    ("information of board 256", lambda: qmd5820.board_information(256), "index", 256),
]

# (what, the call, the argument named, the value refused): the simulated board's controls
SIM_CASES = [
    ("position of channel 256", lambda: sim.set_position(0, 256, 1.0), "channel", 256),
    ("position on board 7", lambda: sim.set_position(7, 0, 1.0), "board", 7),
    ("position as a text", lambda: sim.set_position(0, 0, "1"), "position", "1"),
    ("digital inputs 0x100", lambda: sim.set_digital_inputs(0, 0x100), "inputs", 0x100),
    ("sequence period 0", lambda: sim.set_sequence_period_us(0, 0), "period_us", 0),
    ("fault kind 3", lambda: sim.fault_request(0, 0x90002044, kind=3), "kind", 3),
    ("interrupt info 256", lambda: sim.raise_interrupt(0, 256), "info", 256),
    ("EEPROM word 0x10000", lambda: sim.eeprom_word(0, 0x10000), "address", 0x10000),
    ("swing of period 0", lambda: sim.move(0, 0, 0.0, 1.0, period_s=0), "period_s", 0),
]


def same(a, b):
    return a is b or a == b or (isinstance(a, float) and isinstance(b, float)
                                and math.isnan(a) and math.isnan(b))


class ArgumentTest(SimulatedBoardTest):
    def check_refusal(self, what, action, argument, value):
        trace_start()
        with self.assertRaises(ArgumentError) as caught:
            action()
        e = caught.exception
        self.assertIsInstance(e, QMD5820Error)
        self.assertIsInstance(e, ValueError)
        self.assertEqual(e.argument, argument)
        self.assertIsNone(e.code)
        self.assertIn(argument, str(e))
        if value is not None:
            self.assertTrue(same(e.value, value), f"{e.value!r} is not {value!r}")
            self.assertIn(repr(value), str(e))
        self.assertEqual(requests(), [], f"{what}: a request reached the driver")

    def test_board_methods_refuse_before_the_library(self):
        with Board(index=0) as board:
            board.init_channel(1, 5)        # channel 1 set up, channel 0 not
            board.outputs_on(0x05)
            board.read_inputs()             # the board's record: a success
            record = board.last_error
            for what, action, argument, value in BOARD_CASES:
                with self.subTest(what):
                    self.check_refusal(what, lambda: action(board), argument, value)
                    self.assertEqual(board.last_error, record, "the library was called")
            # What the wrapped values would have done did not happen.
            self.assertFalse(sim.channel_initialised(0, 0))
            self.assertEqual(sim.digital_outputs(0), 0x05)
            self.assertFalse(sim.timer(0).running)
            self.assertNotIn(40, board.transducer_indexes())

    def test_module_functions_refuse_before_the_library(self):
        for what, action, argument, value in MODULE_CASES:
            with self.subTest(what):
                self.check_refusal(what, action, argument, value)

    def test_simulator_controls_refuse_too(self):
        for what, action, argument, value in SIM_CASES:
            with self.subTest(what):
                self.check_refusal(what, action, argument, value)
        self.assertEqual(sim.position(0, 0), 0.0)

    def test_a_prepared_channel_list_lets_no_other_type_through(self):
        """read_many keeps a prepared reader per list: equal floats or bools must not reach
        it unchecked."""
        with Board(index=0) as board:
            board.init_channel(1, 5)
            board.read_many([1, 1])
            for what, value in [("floats", [1.0, 1.0]), ("bools", [True, True]),
                                ("a generator", (c for c in [1.0, 1]))]:
                with self.subTest(what), self.assertRaises(ArgumentError):
                    board.read_many(value)

    def test_accepted_forms(self):
        """numpy integers and plain bools pass; the values reach the board unchanged."""
        import numpy as np
        with Board(index=0) as board:
            board.init_channel(np.uint8(2), np.int64(5), 10000)
            board.outputs_on(np.uint8(0x81))
            board.set_output(np.int32(3), 1)
            board.start_timer(1, 65535, interrupts=False)
            self.assertEqual(sim.digital_outputs(0), 0x89)
            self.assertEqual(sim.timer(0).reload_value, 65535)
            self.assertTrue(sim.channel_initialised(0, 2))
            board.stop_timer()


if __name__ == "__main__":
    unittest.main()
