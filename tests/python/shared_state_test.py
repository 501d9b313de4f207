#!/usr/bin/env python3
"""Programs on libQMD5820.so share the simulated boards' state file.

Each step runs in a process of its own (this script with a step argument), as separate
programs would: one sets digital outputs and exits without closing the board, the next one
reads them. Checked: the explicit QMD5820_SIM_STATE file, "off" and the XDG default.
"""
import ctypes as C
import os
import shutil
import subprocess
import sys
import tempfile


def step(lib_path, what):
    lib = C.CDLL(lib_path)
    handle = C.c_uint64()
    assert lib.i_QMD5820_OpenBoardViaIndex(C.c_uint8(0), C.byref(handle)) == 0
    if what == "write":
        # Two changes in a row: the second waits for the exit to be saved.
        assert lib.i_QMD5820_Set8DigitalOutputsOn(handle, C.c_uint8(0x01)) == 0
        assert lib.i_QMD5820_Set8DigitalOutputsOn(handle, C.c_uint8(0x04)) == 0
    else:
        outputs = C.c_uint8(0xEE)
        assert lib.i_QMD5820_Get8DigitalOutputsStatus(handle, C.byref(outputs)) == 0
        print(f"{outputs.value:#04x}")
    return 0


def run(lib_path, what, env):
    return subprocess.run([sys.executable, __file__, lib_path, what], env=env, check=True,
                          capture_output=True, text=True)


def main():
    lib_path = sys.argv[1]
    if len(sys.argv) > 2:
        return step(lib_path, sys.argv[2])
    failures = []

    def expect(what, got, want):
        if got != want:
            failures.append(f"{what}: got {got!r}, expected {want!r}")

    work = tempfile.mkdtemp(prefix="qmd5820-shared-state-")
    try:
        base = {k: v for k, v in os.environ.items()
                if k not in ("QMD5820_SIM_STATE", "XDG_STATE_HOME")}
        base["HOME"] = os.path.join(work, "home")

        explicit = dict(base, QMD5820_SIM_STATE=os.path.join(work, "explicit", "state"))
        run(lib_path, "write", explicit)
        expect("explicit file, next program", run(lib_path, "read", explicit).stdout.strip(), "0x05")
        expect("explicit file exists", os.path.exists(explicit["QMD5820_SIM_STATE"]), True)

        off = dict(base, QMD5820_SIM_STATE="off")
        run(lib_path, "write", off)
        expect("off, next program", run(lib_path, "read", off).stdout.strip(), "0x00")
        expect("off writes no file", os.path.exists(os.path.join(work, "home")), False)

        xdg = dict(base, XDG_STATE_HOME=os.path.join(work, "xdg"))
        run(lib_path, "write", xdg)
        expect("XDG default, next program", run(lib_path, "read", xdg).stdout.strip(), "0x05")
        expect("XDG default file",
               os.path.exists(os.path.join(work, "xdg", "qmd5820", "sim-state")), True)

    finally:
        shutil.rmtree(work)
    for f in failures:
        print(f)
    print("ok" if not failures else f"{len(failures)} failure(s)")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
