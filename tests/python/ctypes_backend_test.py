#!/usr/bin/env python3
"""A driver written in Python stands in for the board through the plain C backend table.

Loads libQMD5820.so with ctypes, installs a backend whose functions are Python callables,
and checks what the library sends and what the caller gets.
"""
import ctypes as C
import sys

lib = C.CDLL(sys.argv[1])

COUNT = C.CFUNCTYPE(C.c_int32, C.c_void_p)
OPEN = C.CFUNCTYPE(C.c_int32, C.c_void_p, C.c_uint32, C.POINTER(C.c_uint64))
CLOSE = C.CFUNCTYPE(C.c_int32, C.c_void_p, C.c_uint64)
IOCTL = C.CFUNCTYPE(C.c_int32, C.c_void_p, C.c_uint64, C.c_uint32, C.POINTER(C.c_uint8),
                    C.c_uint32, C.c_uint32)
READ = C.CFUNCTYPE(C.c_int32, C.c_void_p, C.c_uint64, C.POINTER(C.c_uint8), C.c_uint32,
                   C.POINTER(C.c_uint32))
SLEEP = C.CFUNCTYPE(None, C.c_void_p, C.c_uint32)
CLOCK = C.CFUNCTYPE(C.c_int64, C.c_void_p)


class Backend(C.Structure):
    _fields_ = [("size", C.c_uint32), ("context", C.c_void_p), ("count_boards", COUNT),
                ("open_board", OPEN), ("close_handle", CLOSE), ("device_io_control", IOCTL),
                ("read_stream", READ), ("sleep_ms", SLEEP), ("clock_seconds", CLOCK)]


HANDLE = 0x5EED0000CAFE
requests = []


def count(_):
    return 1


def open_board(_, index, handle):
    handle[0] = HANDLE
    return 0


def close(_, handle):
    return 0 if handle == HANDLE else 1


def ioctl(_, handle, code, buf, in_size, out_size):
    requests.append((code, bytes(buf[:in_size])))
    if code == 0x90002140:  # digital inputs: status 0, port 0xA5
        buf[0], buf[1] = 0, 0xA5
    elif out_size:
        buf[0] = 0
    return 1


def read(_, handle, buf, size, got):
    got[0] = 0
    return 1


def sleep(_, ms):
    pass


def clock(_):
    return 0


callbacks = (COUNT(count), OPEN(open_board), CLOSE(close), IOCTL(ioctl), READ(read),
             SLEEP(sleep), CLOCK(clock))
table = Backend(C.sizeof(Backend), None, *callbacks)

lib.qmd5820_install_backend.argtypes = [C.POINTER(Backend)]
lib.i_QMD5820_OpenBoardViaIndex.argtypes = [C.c_uint8, C.POINTER(C.c_uint64)]
lib.i_QMD5820_OpenBoardViaIndex.restype = C.c_int16
lib.i_QMD5820_Read8DigitalInputs.argtypes = [C.c_uint64, C.POINTER(C.c_uint8)]
lib.i_QMD5820_Read8DigitalInputs.restype = C.c_int16
lib.i_QMD5820_CloseBoard.argtypes = [C.c_uint64]
lib.i_QMD5820_CloseBoard.restype = C.c_int16
lib.pc_QMD5820_GetLastError.argtypes = [C.c_uint64]
lib.pc_QMD5820_GetLastError.restype = C.c_char_p

failures = []
checks = 0


def check(what, got, want):
    global checks
    checks += 1
    if got != want:
        failures.append(f"{what}: got {got!r}, want {want!r}")


check("install", lib.qmd5820_install_backend(C.byref(table)), 0)
handle = C.c_uint64(0)
check("open", lib.i_QMD5820_OpenBoardViaIndex(0, C.byref(handle)), 0)
check("handle", handle.value, HANDLE)
check("handshake", requests[0], (0x9001c014, HANDLE.to_bytes(8, "little")))
port = C.c_uint8(0)
check("read inputs", lib.i_QMD5820_Read8DigitalInputs(handle, C.byref(port)), 0)
check("port", port.value, 0xA5)
check("request", requests[1], (0x90002140, bytes(2)))
check("text", lib.pc_QMD5820_GetLastError(handle),
      b"i_QMD5820_Read8DigitalInputs: No error. (0)")
check("close", lib.i_QMD5820_CloseBoard(handle), 0)
check("restore", lib.qmd5820_install_backend(None), 0)

for f in failures:
    print("FAIL", f)
print(f"{checks - len(failures)} passed, {len(failures)} failed")
sys.exit(1 if failures else 0)
