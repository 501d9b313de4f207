"""Board methods of the qmd5820 package against the simulated board: what reaches the
board, what comes back, and the state left after failures."""
import ctypes as C
import os
import subprocess
import sys
import threading
import unittest

import qmd5820
from qmd5820 import Board, QMD5820Error, sim
from simboard import RANGES, SimulatedBoardTest, expected


class InterruptDataTest(SimulatedBoardTest):
    def test_records_reach_the_callback_whole_and_bounded(self):
        cases = [
            # (what, data, data_count given, words the callback must see)
            ("no data", (), None, ()),
            ("three words", (7, 8, 0xFFFFFFFF), None, (7, 8, 0xFFFFFFFF)),
            ("full record", tuple(range(100, 132)), None, tuple(range(100, 132))),
            ("count above 32 is clipped", tuple(range(32)), 1000, tuple(range(32))),
        ]
        with Board(index=0) as board:
            got = []
            done = threading.Event()

            def routine(info, value1, value2, data):
                got.append((info, value1, value2, data))
                if len(got) == len(cases):
                    done.set()

            board.set_interrupt_routine(routine)
            for n, (_, data, count, _) in enumerate(cases):
                sim.raise_interrupt(0, 40 + n, 1000 + n, 2000 + n, data, count)
            self.assertTrue(done.wait(5.0))
            board.remove_interrupt_routine()
        for n, (what, _, _, words) in enumerate(cases):
            with self.subTest(what):
                self.assertEqual(got[n], (40 + n, 1000 + n, 2000 + n, words))

    def test_removal_reports_every_callback_failure_after_cleaning_up(self):
        with Board(index=0) as board:
            board.set_interrupt_routine(lambda *a: 1 / 0)
            for _ in range(3):
                sim.raise_interrupt(0, 9)
            with self.assertRaises(qmd5820.InterruptRoutineError) as caught:
                for _ in range(500):  # the interrupt thread delivers on its own time
                    if len(board.interrupt_errors) == 3:
                        break
                    threading.Event().wait(0.01)
                board.remove_interrupt_routine()
            self.assertIn("3 time(s)", str(caught.exception))
            board.set_interrupt_routine(None)  # the first routine is gone
            board.remove_interrupt_routine()


class UnknownHandleTest(SimulatedBoardTest):
    def test_a_released_handle_gives_minus_one_not_an_older_text(self):
        with Board(index=0) as board:
            board.read_inputs()  # records "No error." for this board
            lib = qmd5820._library.load()
            self.assertEqual(lib.i_QMD5820_CloseBoard(board.handle), 0)  # behind its back
            with self.assertRaises(QMD5820Error) as caught:
                board.read_inputs()
            self.assertEqual(caught.exception.code, -1)
            self.assertEqual(caught.exception.text, "i_QMD5820_Read8DigitalInputs: "
                             "The h_DeviceHandle parameter is invalid (-1)")
            board._link.closed = True  # its open is already released


class DeviceTest(SimulatedBoardTest):
    def test_primary_line_short_circuit(self):
        with Board(index=0) as board:
            self.assertEqual(board.test_primary_line() & 2, 0)
            sim.inject_short_circuit(0, persistent=True)
            self.assertEqual(board.test_primary_line() & 2, 2)
            with self.assertRaises(QMD5820Error) as caught:
                board.calibrate_primary_line_test()
            self.assertEqual(caught.exception.code, -2)
            sim.clear_short_circuit(0)
            board.rearm_primary_line()
            self.assertEqual(board.test_primary_line() & 2, 0)

    def test_logic_load_round_trip(self):
        words = [0xDEADBEEF, 0, 0x12345678]
        with Board(index=1) as board:
            board.logic_command(1)
            for w in words:
                board.logic_write(w)
            board.logic_command(2)
            board.logic_command(3)
            self.assertEqual([board.logic_read() for _ in words], words)
            with self.assertRaises(QMD5820Error) as caught:
                board.logic_read()  # past the end: driver status 5
            self.assertEqual(caught.exception.code, -5)
            self.assertEqual(sim._sim.qmdsim_logic_word_count(1), len(words))

    def test_database_add_and_delete(self):
        with Board(index=0) as board:
            before = board.transducer_indexes()
            added = board.add_transducer(40, 5.0, 80.0, 6104.0, 2.5, 400.0)
            self.assertEqual((added.index, added.range, added.sensitivity, added.frequency,
                              added.primary_voltage, added.calibrated),
                             (40, 5.0, 80.0, 6104.0, 2.5, False))
            self.assertEqual(board.transducer_indexes(), before + [40])
            for what, action, code in [("add twice", lambda: board.add_transducer(
                                            40, 5.0, 80.0, 6104.0, 2.5, 400.0), -4),
                                       ("delete unknown", lambda: board.delete_transducer(41), -4)]:
                with self.subTest(what), self.assertRaises(QMD5820Error) as caught:
                    action()
                self.assertEqual(caught.exception.code, code)
            board.delete_transducer(40)
            self.assertEqual(board.transducer_indexes(), before)

    def test_reader_stops_at_a_bad_channel(self):
        with Board(index=0) as board:
            board.init_channel(0, 1)
            sim.set_position(0, 0, 1.0)
            with self.assertRaises(QMD5820Error) as caught:
                channels, raw = (C.c_uint8 * 2)(0, 16), (C.c_uint16 * 2)()
                board._link.do("i_QMD5820_ReadMoreTransducerChannels", 2,  # past the package
                               C.addressof(channels), C.addressof(raw))
            self.assertEqual((caught.exception.code, caught.exception.function),
                             (-4, "i_QMD5820_ReadMoreTransducerChannels"))
            self.assertEqual(board.read_many([0, 0]).tolist(), [expected(1.0, RANGES[1])] * 2)

    def test_auto_refresh_follows_positions_and_stops_on_exception(self):
        with Board(index=0) as board:
            with self.assertRaises(RuntimeError):
                with board.auto_refresh({2: 5, 9: 12}) as ar:
                    for p in (1.0, -3.0):
                        sim.set_position(0, 2, p)
                        sim.set_position(0, 9, p / 10)
                        self.assertEqual(ar.values().tolist(),
                                         [expected(p, 10.0), expected(p / 10, 1.0)])
                    raise RuntimeError("in the block")
            self.assertEqual(sim.acquisition_mode(0), 0)
            with self.assertRaises(qmd5820.StateError):
                ar.values()  # not running any more


class LibraryLookupTest(unittest.TestCase):
    def run_python(self, library):
        env = dict(os.environ, QMD5820_LIBRARY=library)
        return subprocess.run([sys.executable, "-m", "qmd5820"], env=env, capture_output=True,
                              text=True, timeout=60)

    def test_qmd5820_library_is_used_or_reported(self):
        good = self.run_python(os.environ["QMD5820_LIBRARY"])
        self.assertEqual(good.returncode, 0, good.stderr)
        self.assertIn(f"library {os.environ['QMD5820_LIBRARY']} ", good.stdout)
        self.assertIn("board 1: QMD5820-DEMO-1", good.stdout)
        bad = self.run_python("/nonexistent/libQMD5820.so")
        self.assertEqual(bad.returncode, 1)
        self.assertIn("/nonexistent/libQMD5820.so", bad.stderr)
        self.assertIn("QMD5820_LIBRARY", bad.stderr)


if __name__ == "__main__":
    unittest.main()
