#!/usr/bin/env python3
"""Writes python/qmd5820/_tables.py from the C headers.

The worker's status names (enum qmd5820_worker_status of include/QMD5820.h), the status and
failure texts, the transducer fields with their bounds and the problem texts (the X-macro
lists and format macros of include/qmd5820_texts.h) become Python data; the two checks are
the C functions' twins, written below. tests/python/texts_agree_test.py proves that both
sides give the same texts byte for byte.

    gen_python_tables.py                 # (re)write python/qmd5820/_tables.py
    gen_python_tables.py --check FILE    # exit 1 when FILE differs from what would be written
    gen_python_tables.py --output FILE   # write elsewhere
"""
import argparse
import pathlib
import re
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
API_HEADER = ROOT / "include" / "QMD5820.h"
TEXTS_HEADER = ROOT / "include" / "qmd5820_texts.h"
OUTPUT = ROOT / "python" / "qmd5820" / "_tables.py"

TOKEN = re.compile(r'\s*(?:("(?:[^"\\]|\\.)*")|([A-Za-z_]\w*)|([0-9][0-9A-Za-z_.+-]*)|([(),]))')


def strip_comments(text):
    text = re.sub(r"/\*.*?\*/", " ", text, flags=re.S)
    return re.sub(r"//[^\n]*", " ", text)


def macros(text):
    """{name: (parameters or None, body)} of every #define, continuation lines joined."""
    text = strip_comments(text).replace("\\\n", " ")
    found = {}
    for m in re.finditer(r"^[ \t]*#[ \t]*define[ \t]+(\w+)(\([^)]*\))?[ \t]*(.*)$", text, re.M):
        found[m.group(1)] = (m.group(2), m.group(3).strip())
    return found


def tokens(text):
    out, pos = [], 0
    text = text.rstrip()
    while pos < len(text):
        m = TOKEN.match(text, pos)
        if m is None:
            sys.exit(f"cannot read the C text at: {text[pos:pos + 40]!r}")
        kind = ("string", "name", "number", "punct")[[g is not None for g in m.groups()].index(True)]
        out.append((kind, m.group(m.lastindex)))
        pos = m.end()
    return out


def unquote(literal):
    body = literal[1:-1]
    if "\\" in body.replace('\\"', "").replace("\\\\", ""):
        sys.exit(f"unexpected escape in {literal}")
    return body.replace('\\"', '"').replace("\\\\", "\\")


def calls(body):
    """The argument token lists of each X(...) in an X-macro body."""
    toks, result, i = tokens(body), [], 0
    while i < len(toks):
        if toks[i:i + 2] != [("name", "X"), ("punct", "(")]:
            sys.exit(f"expected X( in the list at token {toks[i]}")
        i += 2
        depth, args, current = 1, [], []
        while True:
            token = toks[i]
            i += 1
            if token == ("punct", "("):
                depth += 1
            elif token == ("punct", ")"):
                depth -= 1
                if depth == 0:
                    args.append(current)
                    break
            elif token == ("punct", ",") and depth == 1:
                args.append(current)
                current = []
                continue
            current.append(token)
        result.append(args)
    return result


class Symbols:
    def __init__(self, api_text, texts_text):
        self.defines = {**macros(api_text), **macros(texts_text)}
        enum = re.search(r"enum\s+qmd5820_worker_status\s*\{(.*?)\};", strip_comments(api_text), re.S)
        if enum is None:
            sys.exit(f"{API_HEADER}: enum qmd5820_worker_status not found")
        self.statuses = {name: int(value)
                         for name, value in re.findall(r"(QMD5820_WORKER_\w+)\s*=\s*(\d+)", enum.group(1))}

    def number(self, name):
        params, body = self.defines[name]
        if params is not None or not re.fullmatch(r"[0-9][0-9eE.+-]*", body):
            sys.exit(f"{name} is not a plain number: {body!r}")
        return body

    def value(self, toks):
        """An argument: a status or numeric macro, a number, a name, or text."""
        if len(toks) == 1 and toks[0][0] == "name":
            name = toks[0][1]
            if name in self.statuses:
                return self.statuses[name]
            if name in self.defines and self.defines[name][0] is None:
                body = self.defines[name][1]
                if body.startswith('"'):
                    return self.text(tokens(body))
                return float(self.number(name)) if "." in body or "e" in body else int(body)
            return name  # a field name (stringified by the C side)
        if len(toks) == 1 and toks[0][0] == "number":
            literal = toks[0][1]
            return float(literal) if "." in literal or "e" in literal.lower() else int(literal)
        return self.text(toks)

    def text(self, toks):
        """String literals, QMD5820_TEXT_NUMBER(MACRO) and text macros, concatenated."""
        out, i = [], 0
        while i < len(toks):
            kind, value = toks[i]
            if kind == "string":
                out.append(unquote(value))
                i += 1
            elif value == "QMD5820_TEXT_NUMBER":
                out.append(self.number(toks[i + 2][1]))
                i += 4
            elif kind == "name" and value in self.defines and self.defines[value][1].startswith('"'):
                out.append(self.text(tokens(self.defines[value][1])))
                i += 1
            else:
                sys.exit(f"cannot read text token {value!r}")
        return "".join(out)

    def list(self, name):
        params, body = self.defines[name]
        if params != "(X)":
            sys.exit(f"{name} is not an X-macro list")
        return [[self.value(arg) for arg in args] for args in calls(body)]


TEMPLATE = '''"""The worker's status and failure texts and the checks of transducer data and of a worker
calibration position: the tables and checks of include/qmd5820_texts.h for Python.

Generated by scripts/gen_python_tables.py from include/QMD5820.h and include/qmd5820_texts.h;
do not edit (the test python_tables_generated fails when this file differs from what the
generator writes, and texts_c_and_python_agree compares every text with the C one).
"""
from __future__ import annotations

import math
from typing import Optional

STATUS_NAMES: dict[int, str] = {status_names}
"""Worker status -> its name in QMD5820.h without the QMD5820_WORKER_ prefix."""

STATUS_TEXTS: dict[int, str] = {status_texts}
"""Worker status -> what it means."""

FAILURE_TEXTS: dict[tuple[int, int], str] = {failure_texts}
"""(failed phase, failure code) -> what it means."""

UNKNOWN_FAILURE_TEXT = {unknown_failure!r}

WORKER_BEYOND_LIMIT = {beyond}
"""Failure code of a phase whose adjustment ended beyond its acceptance limit."""
LEVEL_LIMIT = {level_limit}
SECOND_LEVEL_LIMIT = {second_level_limit}
BALANCE_LIMIT = {balance_limit}
POSITION_LIMIT = {position_limit}
POSITION_RANGE_DIVISOR = {divisor}

TRANSDUCER_LIMITS: dict[str, tuple[float, float, str]] = {limits}
"""Transducer field -> (exclusive minimum, inclusive maximum, unit), in the order of the
database add (range, sensitivity, frequency, voltage, impedance)."""

_TRANSDUCER_PROBLEM_FORMAT = {transducer_format!r}
_POSITION_PROBLEM_FORMAT = {position_format!r}
_POSITION_NO_ROOM_FORMAT = {no_room_format!r}


def status_text(status: int) -> str:
    """What worker status `status` means ("status N" for a value the worker never reports)."""
    return STATUS_TEXTS.get(status, f"status {{status}}")


def failure_text(phase: int, code: int) -> str:
    """What failure code `code` of phase `phase` means (the values after status 23)."""
    return FAILURE_TEXTS.get((phase, code), UNKNOWN_FAILURE_TEXT)


def number_text(value: float) -> str:
    """`value` with the fewest digits that read back as it (as qmd5820_number_text() writes it)."""
    if math.isnan(value):
        return "nan"
    if math.isinf(value):
        return "inf" if value > 0 else "-inf"
    for digits in range(1, 18):
        text = "%.*e" % (digits - 1, value)
        if digits == 17 or float(text) == value:
            break
    exponent = int(text[text.index("e") + 1:])
    if digits <= exponent < 17:
        digits = exponent + 1
    return "%.*g" % (digits, value)


def transducer_data_problem(range_mm: float, sensitivity: float, frequency_hz: float,
                            primary_voltage: float, impedance: float) -> Optional[str]:
    """None when the transducer data are acceptable, else what is wrong with the first field
    that is not (the text of qmd5820_transducer_data_problem())."""
    values = (range_mm, sensitivity, frequency_hz, primary_voltage, impedance)
    for (name, (low, high, unit)), value in zip(TRANSDUCER_LIMITS.items(), values):
        value = float(value)
        if not (value > low and value <= high):
            return _TRANSDUCER_PROBLEM_FORMAT % (name, number_text(low), number_text(high), unit,
                                                 number_text(value))
    return None


def worker_position_problem(position: float, range_mm: float) -> Optional[str]:
    """None when the worker calibration accepts `position` for a type of range `range_mm`,
    else what is wrong (the text of qmd5820_worker_position_problem())."""
    position, range_mm = float(position), float(range_mm)
    margin = 2 * POSITION_LIMIT
    resolved = range_mm / POSITION_RANGE_DIVISOR
    lowest = resolved if resolved > margin else margin
    highest = range_mm - margin
    if not (range_mm - range_mm == 0 and lowest <= highest):
        return _POSITION_NO_ROOM_FORMAT % (number_text(range_mm), number_text(2 * margin))
    if not (position >= lowest and position <= highest):
        return _POSITION_PROBLEM_FORMAT % (number_text(lowest), number_text(highest),
                                           number_text(range_mm), number_text(position))
    return None
'''


def dict_text(items, key=repr, value=repr, indent="    "):
    lines = [f"{indent}{key(k)}: {value(v)}," for k, v in items]
    return "{\n" + "\n".join(lines) + "\n}"


def generate():
    symbols = Symbols(API_HEADER.read_text(encoding="utf-8"), TEXTS_HEADER.read_text(encoding="utf-8"))
    statuses = sorted(symbols.statuses.items(), key=lambda kv: kv[1])
    status_texts = dict(sorted((s, t) for s, t in symbols.list("QMD5820_WORKER_STATUS_TEXTS")))
    if set(status_texts) != {v for _, v in statuses}:
        sys.exit("every worker status needs exactly one text")
    failures = {}
    for phase, twin, code, text in symbols.list("QMD5820_WORKER_FAILURE_TEXTS"):
        for p in dict.fromkeys((phase, twin)):
            if (p, code) in failures:
                sys.exit(f"two texts for phase {p}, code {code}")
            failures[(p, code)] = text
    limits = {}
    for number, name, unit, low, high in symbols.list("QMD5820_TRANSDUCER_FIELDS"):
        if number != len(limits) + 1:
            sys.exit(f"transducer field {name} is number {number}, expected {len(limits) + 1}")
        limits[name] = (float(low), float(high), unit)
    text = lambda name: symbols.value([("name", name)])
    number = lambda name: symbols.value([("name", name)])
    return TEMPLATE.format(
        status_names=dict_text((v, n[len("QMD5820_WORKER_"):]) for n, v in statuses),
        status_texts=dict_text(status_texts.items()),
        failure_texts=dict_text(sorted(failures.items())),
        unknown_failure=text("QMD5820_UNKNOWN_FAILURE_TEXT"),
        beyond=number("QMD5820_WORKER_BEYOND_LIMIT"),
        level_limit=number("QMD5820_LEVEL_LIMIT"),
        second_level_limit=number("QMD5820_SECOND_LEVEL_LIMIT"),
        balance_limit=number("QMD5820_BALANCE_LIMIT"),
        position_limit=number("QMD5820_POSITION_LIMIT"),
        divisor=number("QMD5820_POSITION_RANGE_DIVISOR"),
        limits=dict_text(limits.items()),
        transducer_format=text("QMD5820_TRANSDUCER_PROBLEM_FORMAT"),
        position_format=text("QMD5820_POSITION_PROBLEM_FORMAT"),
        no_room_format=text("QMD5820_POSITION_NO_ROOM_FORMAT"))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    group = parser.add_mutually_exclusive_group()
    group.add_argument("--check", type=pathlib.Path, help="compare FILE with the generated text")
    group.add_argument("--output", type=pathlib.Path, default=OUTPUT, help="write FILE")
    args = parser.parse_args()
    generated = generate()
    if args.check is not None:
        if args.check.read_text(encoding="utf-8") != generated:
            print(f"{args.check} differs from what {pathlib.Path(__file__).name} generates from "
                  f"the headers: run it and commit the result", file=sys.stderr)
            return 1
        return 0
    tmp = args.output.with_name(args.output.name + ".tmp")
    tmp.write_text(generated, encoding="utf-8")
    tmp.replace(args.output)
    return 0


if __name__ == "__main__":
    sys.exit(main())
