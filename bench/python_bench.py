#!/usr/bin/env python3
"""What the Python package costs, measured against C through the same library.

1. 16 channels in metric units, read again and again: the package (a prepared reader,
   and Board.read_many) against bench/read16_loop (C, one multiple read and one multiple
   conversion per loop). Reports values per second and the ratio (aim: below 5x C).
2. Sequence data into numpy: one acquired block of 16 channels x 2000 sequences converted
   by the package (the library converts up to 255 codes per call, straight into the numpy
   array's memory) against one Python call per value (Board.convert). Aim: at least 10x.

Usage (from the repository root, after building):
    QMD5820_LIBRARY=build/default/src/libQMD5820.so PYTHONPATH=python \\
        python3 bench/python_bench.py build/default/bench/read16_loop
"""
import ctypes as C
import re
import subprocess
import sys
import time

import qmd5820
from qmd5820 import sim
import numpy as np

from qmd5820.acquisition import Converter

LOOPS = 20000
CHANNELS = list(range(16))


def best_of(n, fn):
    """The fastest of n runs of fn(), in seconds."""
    times = []
    for _ in range(n):
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return min(times)


def c_loop(program):
    out = subprocess.run([program, str(LOOPS)], capture_output=True, text=True, check=True).stdout
    return float(re.search(r"values_per_second=(\d+)", out).group(1))


def main():
    program = sys.argv[1] if len(sys.argv) > 1 else "build/default/bench/read16_loop"
    print(f"library {qmd5820.library_path()}, numpy {np.__version__}")
    for c in CHANNELS:
        sim.set_position(0, c, 0.1 * c - 0.8)
    c_rate = max(c_loop(program) for _ in range(3))

    with qmd5820.Board(index=0) as board:
        board.init_channels({c: 1 for c in CHANNELS})
        reader = board.reader(CHANNELS)

        def prepared():
            for _ in range(LOOPS):
                reader.read()

        def per_call():
            for _ in range(LOOPS // 10):
                board.read_many(CHANNELS)

        prepared_rate = 16 * LOOPS / best_of(3, prepared)
        per_call_rate = 16 * (LOOPS // 10) / best_of(3, per_call)
        print("16 channels in metric units, values per second:")
        print(f"  C (read16_loop)              {c_rate:12.0f}")
        print(f"  Python, prepared reader      {prepared_rate:12.0f}   C is {c_rate / prepared_rate:.2f}x faster")
        print(f"  Python, Board.read_many      {per_call_rate:12.0f}   C is {c_rate / per_call_rate:.2f}x faster")

        # One block of sequence data, acquired fast on the simulated board.
        sequences = 2000
        sim.set_sequence_period_us(0, 10)
        with board.sequence({c: 1 for c in CHANNELS}, sequences_per_interrupt=sequences) as acq:
            acq.read_block()
            raw = acq.raw_block().tolist()
        codes = (C.c_uint16 * len(raw))(*raw)
        out = (C.c_double * len(raw))()
        conv = Converter(board._link, CHANNELS)

        def package():
            conv.convert(C.addressof(codes), C.addressof(out), len(raw))
            return np.frombuffer(out, dtype="float64").reshape(-1, 16).copy()

        def one_call_per_value():
            values = [board.convert(i % 16, code) for i, code in enumerate(raw)]
            return np.array(values).reshape(-1, 16)

        a, b = package(), one_call_per_value()
        same = bool((a == b).all())
        t_package = best_of(5, package)
        t_single = best_of(3, one_call_per_value)
        n = len(raw)
        print(f"sequence data into numpy ({sequences} x 16 codes), values per second:")
        print(f"  package (255 per call)       {n / t_package:12.0f}")
        print(f"  one Python call per value    {n / t_single:12.0f}   package is {t_single / t_package:.1f}x faster"
              f"{'' if same else '   RESULTS DIFFER'}")
    return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main())
