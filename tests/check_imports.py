#!/usr/bin/env python3
"""Check that shipped Windows binaries import only DLLs every Windows system has.

QMD5820.dll (and the tools shipped beside it) must run on a machine with nothing but
Windows on it: the C++ runtime, libgcc and winpthread are linked in statically. A binary
that imports libstdc++-6.dll, libgcc_s_seh-1.dll, libwinpthread-1.dll or any other DLL
not in the system list below fails, as does one whose import table cannot be read.

    check_imports.py --objdump x86_64-w64-mingw32-objdump [--allow QMD5820.dll] BINARY...
"""
import argparse
import re
import subprocess
import sys

# DLLs of a Windows installation (the API sets of the universal C runtime match by prefix).
SYSTEM_DLLS = {
    "kernel32.dll", "kernelbase.dll", "ntdll.dll", "user32.dll", "gdi32.dll",
    "advapi32.dll", "setupapi.dll", "cfgmgr32.dll", "shell32.dll", "shlwapi.dll",
    "ole32.dll", "oleaut32.dll", "ws2_32.dll", "bcrypt.dll", "crypt32.dll", "version.dll",
    "winmm.dll", "msvcrt.dll", "ucrtbase.dll", "comctl32.dll", "comdlg32.dll",
    "psapi.dll", "dbghelp.dll", "rpcrt4.dll", "secur32.dll", "iphlpapi.dll",
}
SYSTEM_PREFIXES = ("api-ms-win-",)


def imported_dlls(objdump, binary):
    text = subprocess.run([objdump, "-p", binary], check=True, capture_output=True,
                          text=True).stdout
    if "The Import Tables" not in text:
        sys.exit(f"{binary}: no import table found")
    return re.findall(r"^\s*DLL Name:\s*(\S+)\s*$", text, re.MULTILINE)


def is_system(name, allowed):
    lower = name.lower()
    return lower in SYSTEM_DLLS or lower in allowed or lower.startswith(SYSTEM_PREFIXES)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--objdump", required=True)
    ap.add_argument("--allow", action="append", default=[],
                    help="a further DLL the binaries may import (shipped beside them)")
    ap.add_argument("binaries", nargs="+")
    args = ap.parse_args()
    allowed = {a.lower() for a in args.allow}

    failed = False
    for binary in args.binaries:
        dlls = imported_dlls(args.objdump, binary)
        foreign = [d for d in dlls if not is_system(d, allowed)]
        print(f"{binary}: imports {', '.join(dlls) if dlls else 'nothing'}")
        if not any(d.lower() == "kernel32.dll" for d in dlls):
            print(f"ERROR: {binary}: KERNEL32.dll not among the imports (unreadable table?)")
            failed = True
        for d in foreign:
            print(f"ERROR: {binary}: imports {d}, which is not a Windows system DLL")
            failed = True
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
