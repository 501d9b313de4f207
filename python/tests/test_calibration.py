"""Calibration through the package on the simulated board with its front end on (virtual
clock): the worker followed as an iterator converges, a break leaves nothing running and the
configuration block as it was, failures are QMD5820Error."""
import _thread
import logging
import threading
import time
import unittest
from unittest import mock

from qmd5820 import Board, CalibrationError, QMD5820Error, sim
from qmd5820._tables import failure_text, status_text
from simboard import SimulatedBoardTest

TYPE, SELECTION, RANGE = 1, 2, 2.0     # factory transducer type 1: selection type 2, range 2
CHANNEL, POSITION = 5, 1.0  # channel 3 stays uninitialised for the error mapping tests
POINTS = (-0.9, -0.7, -0.5, 0.5, 0.7)  # fractions of range the uncalibrated board gets wrong
WORKER_LEVELS_ADJUSTED = 0x900020e8   # request ending the worker's level adjustment
BLOCK = 0x8000 + 512 * SELECTION       # the type's configuration block in the EEPROM


class FrontEndTest(SimulatedBoardTest):
    def setUp(self):
        super().setUp()
        sim.set_virtual_clock(True)
        sim.frontend_enable(0, True)


class CalibrationTest(FrontEndTest):
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
                report = run.break_report
                self.assertEqual((report.status, report.completed), (9, False))
                self.assertEqual(report.restored, (
                    "the transducer's configuration block (as it was before the run)",))
                self.assertIn("the potentiometers", report.not_restored[0])
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
                board._link.do("i_QMD5820_NextCalibrationStep")
            self.assertEqual(caught.exception.code, -2)  # nothing in progress

    def test_failures_are_qmd5820_errors(self):
        with Board(index=0) as board:
            cases = [  # (what, arguments, code); the package refuses impedance 0, position 0.0
                ("type not in the database", dict(transducer_index=99), -8),  # and model 2
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
            self.assertIn(f"phase 6 ({status_text(6)}) with code 10: {failure_text(6, 10)}",
                          caught.exception.text)
            self.assertEqual(caught.exception.meaning, updates[-1].failure)
            self.assertFalse(run.running)
            self.assertEqual(run.status().status, 0)  # the failed run was broken on exit
            self.assertIn("the run had failed: ", run.break_report.note)
            self.assertEqual(len(run.break_report.restored), 1)


class BreakReportTest(FrontEndTest):
    def test_a_break_in_the_threshold_search_lets_the_worker_store(self):
        fresh = 12  # a factory type not calibrated yet
        with Board(index=0) as board:
            self.assertFalse(board.transducer(fresh).calibrated)
            before = self.block_of(board, fresh)
            run = board.calibration_worker(fresh, CHANNEL, 0.5, impedance=6).start()
            for update in run:
                if update.status == 19:
                    sim.set_virtual_clock(False)  # the threshold search takes real seconds
                    run.confirm()
                    while run.status().status != 20:
                        time.sleep(0.001)
                    report = run.break_()
                    break
                if update.status == 25:
                    sim.set_position(0, CHANNEL, 0.0)
                elif update.status == 9:
                    sim.set_position(0, CHANNEL, 0.5)  # the worker checks it got there
                if update.waiting:
                    run.confirm()
            self.assertEqual((report.status, report.completed), (20, True))
            self.assertEqual(report.restored, ())
            self.assertIn("stored its result", str(report))
            self.assertTrue(board.transducer(fresh).calibrated)
            self.assertNotEqual(self.block_of(board, fresh), before)  # not written back

    def block_of(self, board, index):
        selection = 2 + board.transducer_indexes().index(index)  # factory slots in order
        return [sim.eeprom_word(0, 0x8000 + 512 * selection + k) for k in range(512)]

    def test_ctrl_c_during_a_step_is_answered_at_once_and_breaks_after(self):
        entered, release = threading.Event(), threading.Event()
        returned = []

        class Release(logging.Handler):  # the step returns only after the warning came
            def emit(self, record):
                release.set()

        with Board(index=0) as board:
            cal = board.step_calibration(TYPE, CHANNEL, POSITION)
            real_do = cal._link.do

            def blocking_do(function, *args, **kwargs):
                if function == "i_QMD5820_StartCalibration":
                    entered.set()
                    release.wait(10.0)
                    try:
                        return real_do(function, *args, **kwargs)
                    finally:
                        returned.append(time.time())
                return real_do(function, *args, **kwargs)

            threading.Thread(target=lambda: entered.wait(10.0) and _thread.interrupt_main(),
                             daemon=True).start()
            with self.assertLogs("qmd5820", "WARNING") as logged:
                logging.getLogger("qmd5820").addHandler(Release(logging.WARNING))
                with mock.patch.object(cal._link, "do", blocking_do), \
                        self.assertRaises(KeyboardInterrupt):
                    cal.start()
            warning, report = logged.records[0], logged.records[1]
            self.assertIn("cannot be stopped", warning.getMessage())
            self.assertLess(warning.created, returned[0])  # while the step still ran
            self.assertIn("restored: 28 potentiometers", report.getMessage())
            self.assertEqual(cal.break_report.restored[1], "the excitation table")
            self.assertFalse(cal.in_progress)
            self.assertEqual(sim.adjustment_mode(0), sim.ADJUST_CLOSED)


if __name__ == "__main__":
    unittest.main()
