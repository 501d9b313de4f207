"""Sequence acquisition that tells the truth: blocks carry their sequence numbers and arrival
time, a consumer slower than the board is told (OverrunError) or gets the newest data with a
logged warning, blocks left unread are reported, n sequences can be read across blocks, a
callback can take the data, and codes at full scale are flagged."""
import math
import time
import unittest

import numpy as np

from qmd5820 import (Block, Board, CallbackError, OverrunError, StateError, over_range, sim)
from simboard import RANGES, SimulatedBoardTest, expected


def wait_for(condition, seconds=5.0):
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            raise AssertionError("the condition did not come")
        time.sleep(0.005)


class BlockTest(SimulatedBoardTest):
    def test_blocks_carry_sequence_numbers_and_arrival(self):
        counts = []  # the simulated board's own count of sequences at each interrupt
        before = time.time()
        with Board(index=0) as board, board.sequence(
                {0: 1, 4: 5}, sequences_per_interrupt=4, max_backlog=10_000,
                on_interrupt=lambda info, v1, v2, data: counts.append(v1)) as acq:
            blocks = list(acq.blocks(3))
            self.assertGreater(acq.sequence_rate(), 0.0)  # measured from the arrivals
        after = time.time()
        for k, block in enumerate(blocks):
            with self.subTest(block=k):
                self.assertIsInstance(block, Block)
                self.assertEqual(block.values.shape, (4, 2))
                self.assertEqual(block.raw.dtype, np.uint16)
                self.assertEqual(block.sequences.tolist(), list(range(4 * k, 4 * k + 4)))
                self.assertEqual(block.first_sequence, 4 * k)
                self.assertEqual(block.sequences[-1] + 1, counts[k])
                self.assertEqual(block.channels, (0, 4))
                self.assertTrue(before <= block.arrived <= after)
                self.assertIs(np.asarray(block), block.values)
        self.assertLessEqual(blocks[0].arrived, blocks[1].arrived)

    def test_read_n_sequences_across_blocks(self):
        sim.set_position(0, 0, 0.5)
        with Board(index=0) as board, board.sequence({0: 1}, 10,
                                                            max_backlog=10_000) as acq:
            parts = [acq.read(25), acq.read(10), acq.read(5)]
            rest = acq.read_block()  # what read(n) left of a block comes first
        self.assertEqual([len(p) for p in parts], [25, 10, 5])
        self.assertEqual(parts[0].sequences.tolist(), list(range(25)))
        self.assertEqual(parts[1].sequences.tolist(), list(range(25, 35)))
        self.assertEqual(parts[2].sequences.tolist(), list(range(35, 40)))
        self.assertEqual(rest.sequences.tolist(), list(range(40, 50)))
        for part in parts:
            self.assertTrue(np.all(part.values == expected(0.5, RANGES[1])))

    def test_full_scale_codes_are_flagged(self):
        sim.set_position(0, 0, 3.0)   # beyond range 2: reads as the range
        sim.set_position(0, 1, -2.0)  # exactly at minus the range: full scale as well
        sim.set_position(0, 2, 0.25)
        uses = {0: 1, 1: 1, 2: 1, 5: 1}
        for mode, beyond in (("flag", 2.0), ("nan", math.nan)):
            with self.subTest(mode), Board(index=0) as board:
                with board.sequence(uses, 2, over_range=mode, max_backlog=10_000) as acq:
                    block = acq.read_block()
                with board.auto_refresh(uses, over_range=mode) as ar:
                    latest = ar.values()
                    flags = over_range(ar.raw())
                self.assertEqual(block.over_range.tolist(), [[True, True, False, False]] * 2)
                self.assertEqual(flags.tolist(), [True, True, False, False])
                for row in (block.values[0], latest):
                    np.testing.assert_equal(row[:2], [beyond, -beyond])
                    self.assertEqual(row[2], expected(0.25, 2.0))


class BacklogTest(SimulatedBoardTest):
    def test_a_slow_consumer_is_told_not_fed_stale_data(self):
        with Board(index=0) as board, board.sequence({0: 1}, 2, max_backlog=4) as acq:
            wait_for(lambda: acq.backlog > 10)
            with self.assertRaises(OverrunError) as caught:
                acq.read_block()
            e = caught.exception
            self.assertGreater(e.backlog, 4)
            self.assertEqual(e.taken, 0)
            self.assertIn(f"{e.announced} blocks", str(e))
            self.assertIn("max_backlog=4", str(e))
            self.assertLessEqual(len(acq._arrivals), 6)  # bounded whatever the backlog
            with self.assertLogs("qmd5820", "WARNING") as logged:
                dropped = acq.discard_backlog()
            self.assertGreater(dropped, 4)
            self.assertIn("dropped", logged.output[0])
            block = acq.read_block()  # back in step
            self.assertEqual(block.first_sequence, 2 * dropped)
            self.assertEqual((acq.delivered, acq.dropped), (1, dropped))

    def test_dropping_hands_out_the_newest_block(self):
        sim.set_position(0, 0, 1.0)
        with Board(index=0) as board, board.sequence(
                {0: 1}, 2, max_backlog=4, on_overrun="drop") as acq:
            acq.read_block()
            wait_for(lambda: acq.backlog > 10)   # a backlog at position 1.0
            sim.set_position(0, 0, -1.0)
            announced = acq.announced
            wait_for(lambda: acq.announced > announced + 1)
            with self.assertLogs("qmd5820", "WARNING") as logged:
                block = acq.read_block()
            self.assertEqual(block.values[:, 0].tolist(), [expected(-1.0, 2.0)] * 2)
            self.assertIn("dropped", logged.output[0])
            self.assertGreater(acq.dropped, 10)
            self.assertEqual(acq.taken, acq.delivered + acq.dropped)
            self.assertEqual(block.first_sequence, 2 * (acq.taken - 1))
            self.assertLessEqual(block.backlog, 4)

    def test_unread_blocks_are_reported_when_the_acquisition_stops(self):
        with Board(index=0) as board:
            with self.assertLogs("qmd5820", "WARNING") as logged:
                with board.sequence({0: 1}, 2, max_backlog=1000) as acq:
                    acq.read(3)  # one block and a half
                    wait_for(lambda: acq.backlog >= 5)
            self.assertRegex(logged.output[0], r"\d+ whole block\(s\) waiting\): sequences 3 "
                                               r"to \d+ discarded")
            self.assertGreaterEqual(acq.announced, 7)


class CallbackTest(SimulatedBoardTest):
    def test_blocks_go_to_the_callback(self):
        got = []

        def on_block(block):
            got.append(block)
            return len(got) < 5

        with Board(index=0) as board, board.sequence({0: 1, 1: 5}, 4, on_block=on_block,
                                                            max_backlog=10_000) as acq:
            self.assertTrue(acq.wait(10.0))
            with self.assertRaises(StateError):
                acq.read_block()  # the blocks belong to the callback
        self.assertEqual([b.first_sequence for b in got], [0, 4, 8, 12, 16])
        self.assertTrue(all(b.values.shape == (4, 2) for b in got))

    def test_a_failing_callback_stops_delivery_and_is_raised_after_clean_up(self):
        calls = []

        def on_block(block):
            calls.append(block.first_sequence)
            raise KeyError("in the callback")

        with Board(index=0) as board:
            with self.assertRaises(CallbackError) as caught:
                with board.sequence({0: 1}, 2, on_block=on_block, max_backlog=10_000) as acq:
                    wait_for(lambda: acq._thread is not None and not acq._thread.is_alive())
            self.assertIsInstance(caught.exception.__cause__, KeyError)
            self.assertEqual(calls, [0])
            board.set_interrupt_routine(None)  # the acquisition's routine is gone
            board.remove_interrupt_routine()


if __name__ == "__main__":
    unittest.main()
