"""Calibration through the package on the simulated board with its front end on (virtual
clock): the worker followed as an iterator converges, a break leaves nothing running and the
configuration block as it was, failures are QMD5820Error."""
import unittest

from qmd5820 import Board, CalibrationError, QMD5820Error, sim
from test_package import SimulatedBoardTest

TYPE, SELECTION, RANGE = 1, 2, 2.0     # factory transducer type 1: selection type 2, range 2
CHANNEL, POSITION = 5, 1.0  # channel 3 stays uninitialised for the error mapping tests
POINTS = (-0.9, -0.7, -0.5, 0.5, 0.7)  # fractions of range the uncalibrated board gets wrong
WORKER_LEVELS_ADJUSTED = 0x900020e8   # request ending the worker's level adjustment
BLOCK = 0x8000 + 512 * SELECTION       # the type's configuration block in the EEPROM


class CalibrationTest(SimulatedBoardTest):
    def setUp(self):
        super().setUp()
        sim.set_virtual_clock(True)
        sim.frontend_enable(0, True)

    def errors(self, board):
        """Reading errors in % of range at POINTS."""
        board.init_channel(CHANNEL, TYPE)
        out = []
        for p in POINTS:
            sim.set_position(0, CHANNEL, p * RANGE)
            out.append(100.0 * (board.read(CHANNEL) - p * RANGE) / RANGE)
        return out

    def block(self):
        return [sim.eeprom_word(0, BLOCK + k) for k in range(512)]

    def test_worker_converges_with_one_confirmation_per_wait(self):
        with Board(index=0) as board:
            self.assertTrue(all(abs(e) > 1.0 for e in self.errors(board)))
            seen, confirmed = [], []
            with board.calibration_worker(TYPE, CHANNEL, POSITION, impedance=6) as run:
                for update in run:
                    seen.append(update.status)
                    if update.status == 25:
                        sim.set_position(0, CHANNEL, 0.0)
                    elif update.status == 9:
                        sim.set_position(0, CHANNEL, POSITION)
                    if update.waiting:
                        confirmed.append(update.status)
                        run.confirm()
                self.assertFalse(run.running)
            self.assertEqual(seen[-1], 22)
            self.assertEqual(len(seen), len(set(seen)), "every status reported once")
            self.assertEqual(confirmed, [25, 9, 19])
            for e in self.errors(board):
                self.assertLess(abs(e), 0.1)
            self.assertEqual(sim.eeprom_word(0, 8 * SELECTION) & 1, 1)  # marked calibrated

    def test_leaving_the_block_early_breaks_and_restores(self):
        for what, exc in (("exception", RuntimeError), ("Ctrl-C", KeyboardInterrupt)):
            with self.subTest(what), Board(index=0) as board:
                before = self.block()
                with self.assertRaises(exc):
                    with board.calibration_worker(TYPE, CHANNEL, POSITION, impedance=6) as run:
                        for update in run:
                            if update.status == 9:  # past the levels and the balance
                                raise exc("stop")
                            if update.waiting:
                                run.confirm()
                self.assertFalse(run.running)
                self.assertEqual(run.status().status, 0)
                self.assertEqual(sim.adjustment_mode(0), sim.ADJUST_CLOSED)
                self.assertEqual(self.block(), before)
                with board.calibration_worker(TYPE, CHANNEL, POSITION, impedance=6):
                    pass  # a new run is accepted, and broken at once

    def test_step_procedure_converges_and_a_failed_start_is_broken(self):
        with Board(index=0) as board:
            with board.step_calibration(TYPE, CHANNEL, POSITION) as cal:
                sim.set_position(0, CHANNEL, 0.0)
                cal.next_step()
                sim.set_position(0, CHANNEL, POSITION)
                cal.next_step()
                self.assertTrue(cal.finished)
            self.assertTrue(all(abs(e) < 0.1 for e in self.errors(board)))

            sim.set_frontend_errors(0, symmetry_zero=(300.0, 135.0))  # out of reach
            with self.assertRaises(QMD5820Error) as caught:
                with board.step_calibration(TYPE, CHANNEL, POSITION):
                    self.fail("entered after a failed step 1")
            self.assertEqual((caught.exception.code, caught.exception.function),
                             (-50, "i_QMD5820_StartCalibration"))
            self.assertEqual(sim.adjustment_mode(0), sim.ADJUST_CLOSED)
            with self.assertRaises(QMD5820Error) as caught:
                board._do("i_QMD5820_NextCalibrationStep")
            self.assertEqual(caught.exception.code, -2)  # nothing in progress

    def test_failures_are_qmd5820_errors(self):
        with Board(index=0) as board:
            cases = [  # (what, arguments, code)
                ("impedance 0", dict(impedance=0), -4),
                ("position 0.0", dict(position=0.0), -5),
                ("model 2", dict(model=2), -6),
                ("type not in the database", dict(transducer_index=99), -8),
            ]
            for what, change, code in cases:
                with self.subTest(what):
                    args = dict(transducer_index=TYPE, group0_channel=CHANNEL,
                                position=POSITION, impedance=6)
                    args.update(change)
                    with self.assertRaises(QMD5820Error) as caught:
                        with board.calibration_worker(**args):
                            pass
                    e = caught.exception
                    self.assertEqual((e.code, e.function), (code, "i_QMD5820_CalibrationStart"))
                    self.assertTrue(e.text.endswith(f"({code})"), e.text)

            # The worker itself fails (the board refuses the end of the level adjustment):
            # status 23 is reported, then raised with its phase and code.
            sim.fault_request(0, WORKER_LEVELS_ADJUSTED, 1, sim.FAULT_CALL)
            with board.calibration_worker(TYPE, CHANNEL, POSITION, impedance=6) as run:
                updates = []
                with self.assertRaises(CalibrationError) as caught:
                    for update in run:
                        updates.append(update)
                        if update.waiting:
                            run.confirm()
            self.assertTrue(isinstance(caught.exception, QMD5820Error))
            self.assertEqual(updates[-1].status, 23)
            self.assertEqual(caught.exception.phase, updates[-1].failed_phase)
            self.assertEqual(caught.exception.code, updates[-1].code)
            self.assertEqual((caught.exception.phase, caught.exception.code), (6, 10))
            self.assertIn("phase 6 (group 0 second level) with code 10", caught.exception.text)
            self.assertFalse(run.running)
            self.assertEqual(run.status().status, 0)  # the failed run was broken on exit


if __name__ == "__main__":
    unittest.main()
