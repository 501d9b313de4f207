"""One exception hierarchy: every failure of the public API is a QMD5820Error of the right
kind; the library's texts the package carries are the catalogue's, word for word; hints
say what a misleading text leaves out; the package's modules import each other without a
circle."""
import ast
import ctypes as C
import os
import re
import subprocess
import sys
import threading
import unittest
from pathlib import Path

import qmd5820
from qmd5820 import (AcquisitionTimeoutError, ArgumentError, Board, BoardClosedError,
                     InterruptRoutineError, LibraryLoadError, QMD5820Error, StateError, errors,
                     sim)
from simboard import SimulatedBoardTest

ROOT = Path(__file__).resolve().parents[2]
PACKAGE = ROOT / "python" / "qmd5820"
READ_CHANNEL = 0x90002044
C_STRING = r'(?:"(?:[^"\\]|\\.)*"\s*)+'


def c_text(literals):
    """The text of adjacent C string literals."""
    return "".join(bytes(s, "utf-8").decode("unicode_escape")
                   for s in re.findall(r'"((?:[^"\\]|\\.)*)"', literals))


def library_catalogue():
    """function -> code -> message, read from the library's catalogue source."""
    source = (ROOT / "src" / "core" / "catalogue.cpp").read_text()
    constants = {name: c_text(body) for name, body in
                 re.findall(rf'constexpr const char\*\s+(k\w+)\s*=\s*({C_STRING});', source)}
    rows = {}
    for name, body in re.findall(r'constexpr CatalogueRow (k\w+)\[\]\s*=\s*\{(.*?)\n\};',
                                 source, re.S):
        rows[name] = {int(code): constants[msg] if msg.startswith("k") else c_text(msg)
                      for code, msg in re.findall(rf'\{{\s*(-?\d+)\s*,\s*(k\w+|{C_STRING})\}}',
                                                  body)}
    table = re.search(r'kCatalogue\[\]\s*=\s*\{(.*?)\n\};', source, re.S).group(1)
    catalogue = {f: dict(rows[r]) if r != "{}" else {}
                 for f, r in re.findall(r'\{\s*"(\w+)"\s*,\s*(k\w+|\{\})\s*\}', table)}
    header = (ROOT / "src" / "core" / "catalogue.h").read_text()
    invalid = c_text(re.search(rf'kInvalidHandleMessage\s*=\s*({C_STRING});', header).group(1))
    for rows_of in catalogue.values():
        rows_of[-1] = invalid
    return catalogue, invalid


def documented_codes():
    """function -> the negative codes its comment in the public header lists."""
    header = (ROOT / "include" / "QMD5820.h").read_text()
    out = {}
    for comment, name in re.findall(r'/\*\*(.*?)\*/\s*QMD5820_API\s+\w+\s+(\w+)\(', header, re.S):
        codes = {int(c) for c in re.findall(r'@retval (-\d+)\b', comment)}
        returns = re.search(r'@return(.*?)(?:@|$)', comment, re.S)
        if returns:  # "@return 0 done; -1 ...; -2 ...", over several lines
            codes |= {int(c) for c in re.findall(r'(?:^|;|\*)\s+(-\d+)\s', returns.group(1))}
        out[name] = codes
    return out


class CatalogueTest(SimulatedBoardTest):
    @classmethod
    def setUpClass(cls):
        cls.catalogue, cls.invalid = library_catalogue()

    def test_the_parsed_catalogue_is_the_librarys(self):
        """Codes provoked through the library directly: the board's text is the parsed row
        (so the comparisons below are with what the library really says)."""
        lib = qmd5820._library.load()
        d = C.c_double()
        cases = [  # (function, arguments after the handle, code)
            ("i_QMD5820_Init1TransducerChannel", (200, 1, 0.0), -2),
            ("i_QMD5820_Read1TransducerChannel", (3, C.byref(C.c_uint16())), -4),
            ("i_QMD5820_Set1DigitalOutputOn", (9,), -2),
            ("i_QMD5820_TransducerDatabaseReadTransducerInfo",
             (99, C.byref(d), C.byref(d), C.byref(d), C.byref(d), C.byref(C.c_uint8())), -3),
            ("i_QMD5820_InitAndStartTimer", (3, 10, 0), -2),
            ("i_QMD5820_SetConvertTimeDivisionFactor", (4,), -2),
        ]
        with Board(index=0) as board:
            for function, args, code in cases:
                with self.subTest(function):
                    self.assertEqual(getattr(lib, function)(board.handle, *args), code)
                    self.assertEqual(board.last_error,
                                     f"{function}: {self.catalogue[function][code]} ({code})")

    def test_borrowed_texts_are_the_catalogues(self):
        for function, codes in errors._BORROWED.items():
            self.assertNotIn(function, self.catalogue, "it records its own text")
            for code, (source, source_code, text) in codes.items():
                with self.subTest(f"{function} {code}"):
                    self.assertEqual(text, self.catalogue[source][source_code])
        self.assertEqual(errors.INVALID_HANDLE_TEXT, self.invalid)

    def test_own_texts_cover_exactly_the_documented_codes(self):
        documented = documented_codes()
        for function in errors._OWN.keys() | errors._BORROWED.keys():
            with self.subTest(function):
                self.assertNotIn(function, self.catalogue, "the library has texts for it")
                own = set(errors._OWN.get(function, {})) | set(errors._BORROWED.get(function, {}))
                # -1 of a function with a handle is the catalogue's invalid-handle text
                self.assertEqual(own | {-1}, documented[function] | {-1})
                if function in errors._OWN and -1 not in errors._OWN[function]:
                    self.assertEqual(errors.unrecorded_text(function, -1),
                                     f"{function}: {self.invalid} (-1)")

    def test_hints_belong_to_real_codes_and_add_something(self):
        documented = documented_codes()
        for (function, code), hint in errors.HINTS.items():
            with self.subTest(f"{function} {code}"):
                self.assertIn(code, documented[function])
                message = self.catalogue.get(function, {}).get(code, "")
                self.assertNotEqual(hint.lower(), message.lower())


class HierarchyTest(SimulatedBoardTest):
    def test_every_kind_of_failure_is_a_qmd5820_error(self):
        def closed(b):
            b.close()
            b.read_inputs()

        def closed_text(b):
            b.close()
            return b.last_error

        def read_timeout(b):
            b.init_channel(0, 1)
            sim.fault_request(0, READ_CHANNEL, 1, sim.FAULT_STATUS, 51)
            b.read(0)

        def block_timeout(b):
            sim.set_sequence_period_us(0, 100_000_000)
            with b.sequence({0: 1}, 2, timeout=0.05) as acq:
                acq.read_block()

        def failing_callback(b):
            b.set_interrupt_routine(lambda *a: 1 / 0)
            sim.raise_interrupt(0, 9)
            for _ in range(500):
                if b.interrupt_errors:
                    break
                threading.Event().wait(0.01)
            b.remove_interrupt_routine()

        cases = [  # (what, action, class, standard base, code)
            ("library code", lambda b: b.read(3), QMD5820Error, Exception, -4),
            ("float channel", lambda b: b.read(0.0), ArgumentError, ValueError, None),
            ("closed board", closed, BoardClosedError, ValueError, None),
            ("last error of a closed board", closed_text, BoardClosedError, ValueError, None),
            ("read time-out (-51)", read_timeout, AcquisitionTimeoutError, TimeoutError, -51),
            ("no sequence block", block_timeout, AcquisitionTimeoutError, TimeoutError, None),
            ("second routine", lambda b: (b.set_interrupt_routine(None),
                                          b.set_interrupt_routine(None)),
             StateError, RuntimeError, -2),
            ("callback raised", failing_callback, InterruptRoutineError, Exception, None),
        ]
        for what, action, cls, base, code in cases:
            with self.subTest(what), Board(index=0) as board:
                try:
                    action(board)
                except QMD5820Error as e:
                    self.assertIs(type(e), cls)
                    self.assertIsInstance(e, base)
                    self.assertEqual(e.code, code)
                else:
                    self.fail("nothing raised")
                finally:
                    if board._routine is not None and not board.closed:
                        board._routine.errors.clear()

    def test_a_library_that_cannot_be_loaded(self):
        env = dict(os.environ, QMD5820_LIBRARY="/nonexistent/libQMD5820.so")
        script = ("import qmd5820\ntry:\n    qmd5820.board_count()\n"
                  "except qmd5820.LibraryLoadError as e:\n"
                  "    assert isinstance(e, OSError) and isinstance(e, qmd5820.QMD5820Error)\n"
                  "    print('refused:', e)\n")
        out = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True,
                             text=True, timeout=60)
        self.assertEqual(out.returncode, 0, out.stderr)
        self.assertIn("refused:", out.stdout)
        self.assertIn("/nonexistent/libQMD5820.so", out.stdout)
        self.assertTrue(issubclass(LibraryLoadError, OSError))


class HintTest(SimulatedBoardTest):
    def test_misleading_texts_get_a_hint(self):
        def two_sequences(b):
            with b.sequence({0: 1}, 2):
                with b.sequence({1: 5}, 2):
                    pass

        cases = [  # (what, action, function, code, the library's message, words of the hint)
            ("type not in the database", lambda b: b.init_channel(0, 7),
             "i_QMD5820_Init1TransducerChannel", -3, "Unable to read the board's EEPROM",
             "transducer type 7 is not in the database of board 0 (types there: 1, 5, 12)"),
            ("uninitialised channel in a list", lambda b: b.read_many([0, 3]),
             "i_QMD5820_ReadMoreTransducerChannels", -4, "All the inputs must be initialized",
             "channel 3 (entry 1) is not initialised"),
            ("sequence of an unknown type", lambda b: b.sequence({0: 1, 1: 9}, 2).__enter__(),
             "i_QMD5820_InitAndStartTransducerSequence", -10, "Error while initializing",
             "transducer type 9 is not in the database of board 0"),
            ("auto-refresh of unknown types", lambda b: b.auto_refresh({0: 8, 1: 9}).__enter__(),
             "i_QMD5820_InitAndStartAutoRefreshAcquisition", -5, "Error while initializing",
             "transducer types 8, 9 are not in the database"),
            ("a second acquisition", two_sequences, "i_QMD5820_SetBoardIntRoutine", -2,
             "An interrupt routine is already installed",
             "installed by a sequence acquisition"),
        ]
        for what, action, function, code, message, hint in cases:
            with self.subTest(what), Board(index=0) as board:
                board.init_channel(0, 1)
                with self.assertRaises(QMD5820Error) as caught:
                    action(board)
                e = caught.exception
                self.assertEqual((e.code, e.function), (code, function))
                self.assertTrue(e.text.startswith(f"{function}: {message}"), e.text)
                self.assertTrue(e.text.endswith(f"({code})"), e.text)
                self.assertIn(hint, e.hint)
                self.assertEqual(str(e), f"{e.text} -- {e.hint}")


class ImportTest(unittest.TestCase):
    def test_the_modules_import_each_other_without_a_circle(self):
        graph = {}
        for path in PACKAGE.glob("*.py"):
            name = path.stem
            graph[name] = set()
            for node in ast.walk(ast.parse(path.read_text())):  # function-level imports too
                if isinstance(node, ast.ImportFrom) and node.level == 1:
                    if node.module:
                        graph[name].add(node.module.split(".")[0])
                    else:
                        graph[name].update(a.name for a in node.names)
                elif isinstance(node, ast.ImportFrom) and \
                        (node.module or "").startswith("qmd5820."):
                    graph[name].add((node.module or "").split(".")[1])
        graph = {k: {m for m in v if m in graph} for k, v in graph.items()}
        done, path = set(), []

        def visit(module):
            self.assertNotIn(module, path, f"import circle: {' -> '.join(path + [module])}")
            if module in done:
                return
            path.append(module)
            for target in sorted(graph[module]):
                visit(target)
            path.pop()
            done.add(module)

        for module in sorted(graph):
            visit(module)
        self.assertEqual(graph["errors"], set())  # the root every module may import
        for module in ("acquisition", "sequence", "calibration", "step_calibration",
                       "channels", "_io"):
            self.assertNotIn("board", graph[module])


if __name__ == "__main__":
    unittest.main()
