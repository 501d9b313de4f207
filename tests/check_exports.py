#!/usr/bin/env python3
"""Compare the export table of the built QMD5820.dll with the board library's table.

Fails when the DLL exports a name that is not in the table, exports a name at another
ordinal than the table gives, or lacks an entry of the .def file. Names of the table that
are not built yet are listed, not failed.
"""
import argparse
import re
import subprocess
import sys


def read_table(path):
    table = {}
    for line in open(path, encoding="utf-8"):
        line = line.strip()
        if not line or line.startswith("#"):
            continue
        ordinal, name = line.split()
        table[name] = int(ordinal)
    return table


def read_def(path):
    exports = {}
    for line in open(path, encoding="utf-8"):
        m = re.match(r"\s*(\w+)\s*@\s*(\d+)", line)
        if m:
            exports[m.group(1)] = int(m.group(2))
    return exports


def read_dll(objdump, dll):
    text = subprocess.run([objdump, "-p", dll], check=True, capture_output=True,
                          text=True).stdout
    section = text.split("[Ordinal/Name Pointer] Table", 1)
    if len(section) != 2:
        sys.exit("no export name table in " + dll)
    exports = {}
    for line in section[1].splitlines():
        m = re.match(r"\s*\[\s*(\d+)\]\s+(\S+)\s*$", line)
        if m:
            exports[m.group(2)] = int(m.group(1))
        elif exports and line.strip() == "":
            break
    base = re.search(r"Ordinal Base\s+(\d+)", text)
    # objdump prints ordinals relative to the ordinal base in older versions; normalise.
    if base and exports and min(exports.values()) < int(base.group(1)):
        exports = {n: o + int(base.group(1)) for n, o in exports.items()}
    return exports


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--objdump", required=True)
    ap.add_argument("--dll", required=True)
    ap.add_argument("--def", dest="deffile", required=True)
    ap.add_argument("--expected", required=True)
    args = ap.parse_args()

    table = read_table(args.expected)
    defined = read_def(args.deffile)
    exported = read_dll(args.objdump, args.dll)
    errors = []
    for name, ordinal in sorted(exported.items(), key=lambda x: x[1]):
        if name not in table:
            errors.append(f"extra export {name} @{ordinal}")
        elif table[name] != ordinal:
            errors.append(f"{name} exported @{ordinal}, table says @{table[name]}")
    for name, ordinal in defined.items():
        if exported.get(name) != ordinal:
            errors.append(f"{name} @{ordinal} of the .def is not exported at that ordinal")
    missing = [n for n in table if n not in exported]
    print(f"{len(exported)} of {len(table)} functions exported at their ordinals")
    for name in sorted(missing, key=lambda n: table[n]):
        print(f"  not built yet: {table[name]} {name}")
    for e in errors:
        print("ERROR:", e)
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main())
