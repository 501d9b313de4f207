#!/usr/bin/env python3
"""The Python package's generated tables (python/qmd5820/_tables.py) against the C header
they come from (include/qmd5820_texts.h), byte for byte.

Runs tests/texts_dump.c (built as C; its path is the argument): the texts of every status
and (phase, code) pair, then the number texts and the two checks for inputs chosen here
(bounds, their neighbours, the special values, values of every magnitude), each passed to C
as a hexadecimal float so that both sides see the same double.
"""
import importlib.util
import math
import pathlib
import random
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parents[2]


def load_tables():
    spec = importlib.util.spec_from_file_location("_tables", ROOT / "python" / "qmd5820" / "_tables.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def neighbours(x):
    return [math.nextafter(x, -math.inf), x, math.nextafter(x, math.inf)]


def interesting_numbers(tables):
    values = [0.0, -0.0, 1.0, -1.0, 0.1, 1 / 3, 2 / 3, 1e-300, 5e-324, 1e308, -1e308,
              math.nan, -math.nan, math.inf, -math.inf, 123456789.0, 2.0 ** 53, 0.015625, 1.99,
              9.99, 0.02, 0.01]
    for low, high, _ in tables.TRANSDUCER_LIMITS.values():
        values += neighbours(low) + neighbours(high)
    rng = random.Random(5820)
    for exponent in range(-310, 310, 7):
        values.append(rng.uniform(-1, 1) * 10.0 ** exponent if exponent > -308 else rng.random() * 1e-308)
    return values


def h(x):
    return float(x).hex()


def main():
    dump = sys.argv[1]
    t = load_tables()
    numbers = interesting_numbers(t)
    base = [2.0, 50.0, 5000.0, 3.0, 6.0]
    transducers = [base]
    for field, (low, high, _) in enumerate(t.TRANSDUCER_LIMITS.values()):
        for value in neighbours(low) + neighbours(high) + [math.nan, math.inf, -math.inf, -5.0, 1e308]:
            row = list(base)
            row[field] = value
            transducers.append(row)
    transducers.append([-5.0, -1.0, 0.0, math.nan, 1e308])  # the first field wins
    positions = []
    for r in [2.0, 10.0, 1.0, 0.02, 0.0199, 0.015, 327.675, 1e308, math.inf, math.nan, 0.0, -2.0]:
        low = max(r / t.POSITION_RANGE_DIVISOR, 2 * t.POSITION_LIMIT) if math.isfinite(r) else 1.0
        high = r - 2 * t.POSITION_LIMIT if math.isfinite(r) else 1.0
        for p in neighbours(low) + neighbours(high) + [-1.0, 1e-300, 6.0, 11.0, 100.0, math.nan]:
            positions.append((p, r))

    lines, expected = [], []
    for s in range(-1, 41):
        expected.append(f"status {s}: {t.STATUS_TEXTS.get(s, 'unknown status')}")
    for phase in range(-1, 31):
        for code in range(-1, 61):
            expected.append(f"failure {phase} {code}: {t.failure_text(phase, code)}")
    for x in numbers:
        lines.append(f"n {h(x)}")
        expected.append(f"{lines[-1]}: {t.number_text(x)}")
    for row in transducers:
        lines.append("t " + " ".join(h(x) for x in row))
        problem = t.transducer_data_problem(*row)
        field = 0 if problem is None else 1 + list(t.TRANSDUCER_LIMITS).index(problem.split(":")[0])
        expected.append(f"{lines[-1]}: {field} {problem or ''}")
    for p, r in positions:
        lines.append(f"p {h(p)} {h(r)}")
        problem = t.worker_position_problem(p, r)
        result = 0 if problem is None else (2 if "leaves no position" in problem else 1)
        expected.append(f"{lines[-1]}: {result} {problem or ''}")

    out = subprocess.run([dump], input="\n".join(lines) + "\n", capture_output=True, text=True,
                         check=True).stdout.splitlines()
    differences = [(e, o) for e, o in zip(expected, out) if e != o]
    for e, o in differences[:20]:
        print(f"Python: {e}\nC:      {o}\n")
    if len(out) != len(expected):
        print(f"C wrote {len(out)} lines, Python {len(expected)}")
        return 1
    if differences:
        print(f"{len(differences)} of {len(expected)} lines differ")
        return 1
    print(f"{len(expected)} texts agree")
    return 0


if __name__ == "__main__":
    sys.exit(main())
