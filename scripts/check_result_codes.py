#!/usr/bin/env python3
"""Every catalogued result code reached by the test suite.

Compares the (function, code) pairs a QMD5820_RECORD_CODES build recorded while the suite
ran (file named by QMD5820_RECORDED_CODES) with the rows of the error catalogue
(src/core/catalogue.cpp). Fails on a row never recorded unless the list of unreachable
rows names it with a reason. Rows of functions the built library does not export are
reported apart and do not fail the check (they count once the functions exist).
"""
import argparse
import re
import subprocess
import sys


def catalogue_rows(path):
    """([(function, code)] of every explicit catalogue row in table order, [function])."""
    text = open(path, encoding="utf-8").read()
    arrays = {}
    for m in re.finditer(r"constexpr CatalogueRow (k\w+)\[\] = \{(.*?)\n\};", text, re.S):
        arrays[m.group(1)] = [int(c) for c in re.findall(r"\{\s*(-?\d+),", m.group(2))]
    table = re.search(r"constexpr CatalogueEntry kCatalogue\[\] = \{(.*?)\n\};", text, re.S)
    if table is None:
        sys.exit(f"{path}: no catalogue table found")
    rows, functions = [], []
    for name, array in re.findall(r'\{"(\w+)",\s*(k\w+|\{\})\}', table.group(1)):
        if array != "{}" and array not in arrays:
            sys.exit(f"{path}: rows {array} of {name} not found")
        functions.append(name)
        rows.extend((name, code) for code in arrays.get(array, []))
    return rows, functions


def recorded_pairs(path):
    pairs = set()
    with open(path, encoding="utf-8") as f:
        for line in f:
            parts = line.split()
            if len(parts) == 2:
                pairs.add((parts[0], int(parts[1])))
    return pairs


def unreachable_rows(path):
    """{(function, code): reason} from lines 'function code reason...' ('#' comments)."""
    rows = {}
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            line = line.strip()
            if not line or line.startswith("#"):
                continue
            parts = line.split(None, 2)
            if len(parts) < 3:
                sys.exit(f"{path}:{number}: expected 'function code reason'")
            rows[(parts[0], int(parts[1]))] = parts[2]
    return rows


def exported_functions(library):
    out = subprocess.run(["nm", "-D", "--defined-only", library], check=True,
                         capture_output=True, text=True).stdout
    return {line.split()[-1] for line in out.splitlines() if line.strip()}


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--catalogue", required=True)
    p.add_argument("--recorded", required=True)
    p.add_argument("--unreachable", required=True)
    p.add_argument("--library", help="built shared library; rows of functions it does not "
                                     "export are skipped (default: none skipped)")
    args = p.parse_args()

    rows, functions = catalogue_rows(args.catalogue)
    recorded = recorded_pairs(args.recorded)
    unreachable = unreachable_rows(args.unreachable)
    exported = exported_functions(args.library) if args.library else None

    skipped, missing, excused, reached = [], [], [], []
    for row in rows:
        if exported is not None and row[0] not in exported:
            skipped.append(row)
        elif row in recorded:
            reached.append(row)
        elif row in unreachable:
            excused.append(row)
        else:
            missing.append(row)
    stale = [row for row in unreachable if row in recorded]
    unknown = [row for row in unreachable if row not in rows]

    checked = len(rows) - len(skipped)
    print(f"result codes: {len(reached)} of {checked} catalogue rows reached by the suite, "
          f"{len(excused)} listed as unreachable, {len(missing)} never reached")
    absent = [name for name in functions if exported is not None and name not in exported]
    if absent:
        print(f"skipped {len(skipped)} rows of {len(absent)} catalogued functions the library "
              f"does not export (checked once it does): {', '.join(absent)}")
    for name, code in excused:
        print(f"  unreachable: {name} {code}: {unreachable[(name, code)]}")
    for name, code in missing:
        print(f"NOT REACHED: {name} {code}")
    for name, code in stale:
        print(f"LISTED AS UNREACHABLE BUT REACHED: {name} {code}")
    for name, code in unknown:
        print(f"LISTED AS UNREACHABLE BUT NOT IN THE CATALOGUE: {name} {code}")
    return 1 if missing or stale or unknown else 0


if __name__ == "__main__":
    sys.exit(main())
