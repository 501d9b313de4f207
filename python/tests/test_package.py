"""The qmd5820 package against the simulated board: error mapping, release of everything
on exceptions, acquisition data against the positions that were set."""
import _thread
import threading
import unittest

import numpy as np

import qmd5820
from qmd5820 import Board, BoardClosedError, QMD5820Error, sim
from simboard import RANGES, SimulatedBoardTest, expected

READ_CHANNEL = 0x90002044
START_SEQUENCE = 0x90002084
STOP_ACQUISITION = 0x9000208C


class ErrorMappingTest(SimulatedBoardTest):
    def test_codes_functions_and_texts(self):
        def uninitialised_read(b):
            b.read(3)

        def driver_status(b):
            b.init_channel(0, 1)
            sim.fault_request(0, READ_CHANNEL, 1, sim.FAULT_STATUS, 51)
            b.read_raw(0)

        def failed_request(b):
            sim.fault_request(0, 0x90002140, 1, sim.FAULT_CALL)
            b.read_inputs()

        cases = [
            # (what, action, code, function, message)
            ("uninitialised channel", uninitialised_read, -4, "i_QMD5820_Read1TransducerChannel",
             "The input must be initialized first (with i_QMD5820_Init1TransducerChannel)"),
            ("driver status 51", driver_status, -51, "i_QMD5820_Read1TransducerChannel",
             "A timeout occurred during the acquisition"),
            ("failed request", failed_request, -100, "i_QMD5820_Read8DigitalInputs",
             "An error occurred while calling the IOCTL function"),
            # the package refuses channel 8 itself; the library's refusal still maps
            ("digital channel 8 past the package",
             lambda b: b._link.do("i_QMD5820_Set1DigitalOutputOn", 8), -2,
             "i_QMD5820_Set1DigitalOutputOn",
             "The b_Channel parameter is wrong (value should be between 0 and 7)"),
            ("unknown transducer", lambda b: b.transducer(99), -3,
             "i_QMD5820_TransducerDatabaseReadTransducerInfo",
             "The selected transducer index is not in the database"),
            ("second routine", lambda b: (b.set_interrupt_routine(None),
                                          b.set_interrupt_routine(None)), -2,
             "i_QMD5820_SetBoardIntRoutine", "An interrupt routine is already installed"),
        ]
        for what, action, code, function, message in cases:
            with self.subTest(what), Board(index=0) as board:
                with self.assertRaises(QMD5820Error) as caught:
                    action(board)
                e = caught.exception
                self.assertEqual((e.code, e.function), (code, function))
                self.assertTrue(e.text.startswith(f"{function}: {message}"), e.text)
                self.assertTrue(e.text.endswith(f"({code})"), e.text)
                self.assertEqual(str(e), e.text if e.hint is None else f"{e.text} -- {e.hint}")
                if qmd5820.errors.records_result(function):  # the library's own text
                    self.assertEqual(e.text, board.last_error)

    def test_failed_opens_raise(self):
        cases = [
            ("index beyond the boards", dict(index=2), -2, "i_QMD5820_OpenBoardViaIndex"),
            ("unknown identifier", dict(identifier="QMD5820-DEMO-9"), -4,
             "i_QMD5820_OpenBoardViaIdentifier"),
            ("identifier in other case", dict(identifier="qmd5820-demo-0"), -4,
             "i_QMD5820_OpenBoardViaIdentifier"),
        ]
        for what, kwargs, code, function in cases:
            with self.subTest(what):
                with self.assertRaises(QMD5820Error) as caught:
                    Board(**kwargs)
                self.assertEqual((caught.exception.code, caught.exception.function),
                                 (code, function))
                self.assertIn(function, caught.exception.text)
        sim.fault_open(1, -7)
        with self.assertRaises(QMD5820Error) as caught:
            Board(index=1)
        self.assertEqual(caught.exception.code, -7)
        self.assertIn("The device cannot be opened (-7)", caught.exception.text)

    def test_closed_board_refuses_calls(self):
        board = Board(index=0)
        reader = board.reader([0])
        board.close()
        board.close()  # a second close does nothing
        for what, action in [("a method", board.read_inputs), ("a reader", reader.read),
                             ("the last error", lambda: board.last_error)]:
            with self.subTest(what), self.assertRaises(BoardClosedError):
                action()


class ReleaseTest(SimulatedBoardTest):
    def test_board_context_releases_its_open_on_exception(self):
        with Board(index=0) as outer:
            with self.assertRaises(RuntimeError):
                with Board(identifier="QMD5820-DEMO-0") as inner:
                    self.assertEqual(inner.handle, outer.handle)
                    raise RuntimeError("in the block")
            self.assertEqual(sim.open_handles(0), 1)
            outer.read_inputs()  # the outer open still works
        self.assertEqual(sim.open_handles(0), 0)

    def test_sequence_stops_and_removes_the_routine_on_any_exit(self):
        def exception(acq):
            raise RuntimeError("in the block")

        def ctrl_c(acq):
            raise KeyboardInterrupt

        def after_a_block(acq):
            acq.read_block()
            raise ValueError("after a block")

        for what, body, raised in [("exception", exception, RuntimeError),
                                   ("Ctrl-C", ctrl_c, KeyboardInterrupt),
                                   ("after a block", after_a_block, ValueError)]:
            with self.subTest(what), Board(index=0) as board:
                with self.assertRaises(raised):
                    with board.sequence({0: 1, 1: 5}) as acq:
                        self.assertEqual(sim.acquisition_mode(0), 2)
                        body(acq)
                self.assertEqual(sim.acquisition_mode(0), 0)
                board.set_interrupt_routine(None)  # refused (-2) if one were left installed
                board.remove_interrupt_routine()

    def test_waiting_for_a_block_ends_cleanly(self):
        # No sequence interrupt comes: one sequence takes 100 s on the simulated board.
        for what, timeout, raised in [("Ctrl-C while waiting", 30.0, KeyboardInterrupt),
                                      ("time-out", 0.2, TimeoutError)]:
            with self.subTest(what), Board(index=0) as board:
                sim.set_sequence_period_us(0, 100_000_000)
                ctrl_c = threading.Timer(0.2, _thread.interrupt_main)
                with self.assertRaises(raised):
                    with board.sequence({0: 1}, sequences_per_interrupt=2, max_backlog=10_000,
                                        timeout=timeout) as acq:
                        if raised is KeyboardInterrupt:
                            ctrl_c.start()
                        acq.read_block()
                ctrl_c.cancel()
                self.assertEqual(sim.acquisition_mode(0), 0)
                self.assertIsNone(board._routine)

    def test_failed_start_removes_the_routine(self):
        with Board(index=0) as board:
            sim.fault_request(0, START_SEQUENCE, 1, sim.FAULT_STATUS, 6)
            with self.assertRaises(QMD5820Error) as caught:
                with board.sequence({0: 1}, sequences_per_interrupt=2, max_backlog=10_000):
                    self.fail("the block must not run")
            self.assertEqual(caught.exception.code, -6)
            self.assertIsNone(board._routine)
            board.set_interrupt_routine(None)
            board.remove_interrupt_routine()

    def test_callback_exception_stays_off_the_interrupt_thread(self):
        calls = []

        def failing(info, value1, value2, data):
            calls.append(info)
            raise ZeroDivisionError("in the callback")

        with Board(index=0) as board:
            with self.assertRaises(qmd5820.InterruptRoutineError) as caught:
                with board.sequence({0: 1}, sequences_per_interrupt=2, max_backlog=10_000,
                                    on_interrupt=failing) as acq:
                    blocks = list(acq.blocks(3))  # acquisition goes on regardless
            self.assertEqual(len(blocks), 3)
            self.assertGreaterEqual(len(calls), 3)
            self.assertIsInstance(caught.exception.__cause__, ZeroDivisionError)
            self.assertEqual(sim.acquisition_mode(0), 0)


class MeasurementTest(SimulatedBoardTest):
    POSITIONS = {3: (12, 0.25), 0: (1, -1.5), 7: (5, 9.75)}  # channel: (transducer, position)

    def test_sequence_blocks_hold_the_positions_in_channel_order(self):
        for channel, (_, position) in self.POSITIONS.items():
            sim.set_position(0, channel, position)
        uses = [(c, t) for c, (t, _) in self.POSITIONS.items()]
        want = [expected(p, RANGES[t]) for t, p in self.POSITIONS.values()]
        with Board(index=0) as board:
            with board.sequence(uses, sequences_per_interrupt=4) as acq:
                blocks = list(acq.blocks(2))
        for block in blocks:
            self.assertEqual(block.values.shape, (4, 3))
            self.assertEqual(block.values.dtype, np.float64)
            for row in block.values:
                np.testing.assert_allclose(row, want, rtol=0, atol=1e-12)

    def test_moving_transducer_changes_the_data(self):
        sim.move(0, 0, 0.0, 1.5, period_s=0.05)
        with Board(index=0) as board, board.sequence({0: 1}, sequences_per_interrupt=20) as acq:
            flat = np.concatenate([block.values[:, 0] for block in acq.blocks(5)])
        self.assertGreater(max(flat) - min(flat), 0.5)
        self.assertTrue(all(abs(v) <= 1.5 + 1e-9 for v in flat))

    def test_single_many_and_auto_refresh_reads(self):
        for channel, (_, position) in self.POSITIONS.items():
            sim.set_position(0, channel, position)
        channels = list(self.POSITIONS)
        want = [expected(p, RANGES[t]) for t, p in self.POSITIONS.values()]
        with Board(index=0) as board:
            board.init_channels({c: t for c, (t, _) in self.POSITIONS.items()})
            self.assertEqual([board.read(c) for c in channels], want)
            many = board.read_many(channels)
            self.assertEqual((many.dtype, many.tolist()), (np.float64, want))
            raw = board.read_many_raw(channels)
            self.assertEqual(raw.dtype, np.uint16)
            self.assertEqual(raw.tolist(), [board.read_raw(c) for c in channels])
            with board.auto_refresh([(c, t) for c, (t, _) in self.POSITIONS.items()]) as ar:
                self.assertEqual(sim.acquisition_mode(0), 1)
                self.assertEqual(ar.values().tolist(), want)

    def test_digital_io_and_timer_interrupts(self):
        with Board(index=1) as board:
            sim.set_digital_inputs(1, 0xA5)
            self.assertEqual(board.read_inputs(), 0xA5)
            self.assertEqual([board.read_input(i) for i in range(8)],
                             [bool(0xA5 >> i & 1) for i in range(8)])
            board.outputs_on(0x81)
            board.set_output(3, True)
            board.outputs_off(0x01)
            self.assertEqual(sim.digital_outputs(1), 0x88)
            self.assertEqual(board.read_outputs(), 0x88)
            came = threading.Event()
            seen = []
            board.set_interrupt_routine(
                lambda info, v1, v2, data: (seen.append((info, v1, v2)), came.set()))
            board.start_timer(1, 2, interrupts=True)
            self.assertTrue(came.wait(5.0))
            board.stop_timer()
            board.remove_interrupt_routine()
            # timer records: expirations so far, then the reload value
            info, expirations, reload_value = seen[0]
            self.assertEqual((info, reload_value), (qmd5820.TIMER_INTERRUPT, 2))
            self.assertGreaterEqual(expirations, 1)


if __name__ == "__main__":
    unittest.main()
