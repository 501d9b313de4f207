#!/usr/bin/env python3
"""Build a wheel of the qmd5820 package that bundles the board library, offline.

    build_wheel.py --out DIST LIB [LIB...] [--plat-name win_amd64]

LIB: the library files to bundle (Linux: libQMD5820.so.<major> and libQMD5820sim.so.<major> of an
installed tree, whose run path is $ORIGIN; Windows: QMD5820.dll of the cross build).
Needs setuptools and wheel (Debian: python3-setuptools python3-wheel); downloads nothing.
"""
import argparse
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent


def main() -> int:
    ap = argparse.ArgumentParser()
    ap.add_argument("--out", required=True, type=Path)
    ap.add_argument("--plat-name", default=None)
    ap.add_argument("libraries", nargs="+", type=Path)
    args = ap.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        stage = Path(tmp) / "src"
        shutil.copytree(HERE, stage, ignore=shutil.ignore_patterns(
            "__pycache__", "*.egg-info", "build", "dist", "_lib", "_installed.py"))
        lib_dir = stage / "qmd5820" / "_lib"
        lib_dir.mkdir()
        for lib in args.libraries:
            shutil.copy2(lib, lib_dir / lib.name)  # follows symbolic links
        command = [sys.executable, "setup.py", "-q", "bdist_wheel", "-d", str(args.out.resolve())]
        if args.plat_name:
            command += ["--plat-name", args.plat_name]
        args.out.mkdir(parents=True, exist_ok=True)
        return subprocess.call(command, cwd=stage)


if __name__ == "__main__":
    sys.exit(main())
