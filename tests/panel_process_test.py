#!/usr/bin/env python3
"""`qmd5820 panel` as a process on the simulated boards: the arguments it refuses, requests
that are malformed, oversized, spoofed or never finished leaving the server and the board
working, and Ctrl-C/SIGTERM stopping acquisitions and breaking a calibration with its
restore, the boards left as the tool then sees them. Usage: panel_process_test.py QMD5820"""
import os
import signal
import socket
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from panel_common import PanelProcess, Results, wait_for  # noqa: E402

TOOL = sys.argv[1]
R = Results()


def arguments():
    env = dict(os.environ, QMD5820_SIM_STATE="off")
    cases = [
        (["--listen", "0.0.0.0:0"], 2, "--token"),
        (["--listen", "192.168.77.1:8000"], 2, "not a loopback address"),
        (["--listen", "0.0.0.0:0", "--token", "short"], 2, "at least 16"),
        (["--listen", "127.0.0.1:70000"], 2, "port"),
        (["--listen", "nonsense"], 2, "ADDR:PORT"),
        (["--token", "0123456789abcdef/"], 2, "letters, digits"),
    ]
    for args, status, text in cases:
        run = subprocess.run([TOOL, "panel", "--no-browser", *args], env=env, text=True,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=20)
        R.check(run.returncode == status and text in run.stderr,
                "panel %s: exit %s, %r" % (" ".join(args), run.returncode, run.stderr))
    # With a token, a non-loopback address is served and says so.
    panel = PanelProcess(TOOL, "--token", "0123456789abcdefXYZ", state="off")
    status, out, err = panel.stop(signal.SIGINT)
    R.check(status == 0 and "stopped" in out, "a panel on a token stops on Ctrl-C: %s %r" % (status, err))


def raw(port, data, read=True):
    with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
        s.sendall(data)
        if not read:
            return b""
        chunks = []
        try:
            while True:
                chunk = s.recv(65536)
                if not chunk:
                    break
                chunks.append(chunk)
        except socket.timeout:
            pass
        return b"".join(chunks)


def abuse():
    panel = PanelProcess(TOOL)
    port = int(panel.base.rsplit(":", 1)[1])
    host = ("Host: 127.0.0.1:%d\r\n" % port).encode()
    token = ("X-Panel-Token: %s\r\n" % panel.token).encode()
    # Requests that must be refused, each sent by hand; then the board's outputs are unchanged.
    body = b'{"mask":255,"on":true}'
    length = b"Content-Length: %d\r\n" % len(body)
    refused = {
        "rebinding Host": b"POST /api/board/0/outputs HTTP/1.1\r\nHost: evil.example:%d\r\n" % port
                          + token + length + b"\r\n" + body,
        "foreign Origin": b"POST /api/board/0/outputs HTTP/1.1\r\n" + host + token
                          + b"Origin: http://evil.example\r\n" + length + b"\r\n" + body,
        "no token": b"POST /api/board/0/outputs HTTP/1.1\r\n" + host + length + b"\r\n" + body,
        "malformed request line": b"GARBAGE\r\n\r\n",
        "oversized header": b"GET /api/boards HTTP/1.1\r\n" + host + token
                            + b"X-Fill: " + b"a" * 200000 + b"\r\n\r\n",
        "oversized body": b"POST /api/board/0/outputs HTTP/1.1\r\n" + host + token
                          + b"Content-Length: 10000000\r\n\r\n" + b" " * 300000,
    }
    for what, data in refused.items():
        answer = raw(port, data)
        first = answer.split(b"\r\n", 1)[0]
        R.check(b" 200 " not in first, "%s refused: %r" % (what, first))
    # A request never finished, and a stream never read, are held while others go on.
    stalled = socket.create_connection(("127.0.0.1", port))
    stalled.sendall(b"POST /api/board/0/outputs HTTP/1.1\r\n" + host + token + length + b"\r\n{")
    unread = socket.create_connection(("127.0.0.1", port))
    unread.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    unread.sendall(b"GET /api/board/0/live?token=%s HTTP/1.1\r\n" % panel.token.encode() + host + b"\r\n")
    time.sleep(1.0)  # the unread stream fills its buffers meanwhile
    status, boards = panel.request("GET", "/api/boards")
    R.check(status == 200 and len(boards["boards"]) == 2, "the server answers beside stalled clients")
    status, reply = panel.request("POST", "/api/board/0/outputs", {"mask": 0x21, "on": True})
    R.check(status == 200 and reply["code"] == 0, "the board still switches: %s %s" % (status, reply))
    R.check(panel.snapshot(until=lambda e: e.get("outputs") == 0x21) is not None,
            "the stream still flows beside an unread one")
    stalled.close()
    unread.close()
    code, out, err = panel.stop()
    R.check(code == 0, "SIGTERM: exit %s %r" % (code, err))
    outputs = panel.tool_run("outputs", "0")
    R.check("0x21" in outputs.stdout, "only the accepted change reached the board: %r" % outputs.stdout)


def stop_while_busy(sig):
    """A running acquisition on board 0 and a worker calibration waiting on board 1 when the
    signal comes: both stopped, the calibration's restore done, every board closed."""
    panel = PanelProcess(TOOL)
    before = os.path.join(panel.dir, "before.eeprom")
    after = os.path.join(panel.dir, "after.eeprom")
    status, reply = panel.request("POST", "/api/board/0/acquisition/start",
                                  {"channels": [[0, 1], [1, 5]], "sequences_per_interrupt": 10})
    R.check(status == 200 and reply["code"] == 0, "acquisition started: %s" % reply)
    status, reply = panel.request("POST", "/api/board/1/calibration/start",
                                  {"procedure": "worker", "transducer": 5, "first": 0, "second": 0,
                                   "position": 6, "impedance": 1000, "model": 0, "readings_at": [0]})
    R.check(status == 200 and reply["code"] == 0, "calibration started: %s" % reply)
    waiting = panel.snapshot(1, until=lambda e: bool(e.get("calibration", {}).get("instruction")), limit=3000)
    R.check(waiting is not None, "the worker reached a wait")
    code, out, err = panel.stop(sig)
    R.check(code == 0 and "stopped" in out, "signal %d: exit %s %r" % (sig, code, err))
    # The tool then finds the boards idle: an acquisition would refuse a read (-50).
    read = panel.tool_run("read", "0", "0:1")
    R.check(read.returncode == 0, "board 0 reads after the panel: %r" % read.stderr)
    panel.tool_run("db", "1", "backup", after)
    # The same boards from the factory state, never calibrated: the restore put back the
    # configuration block as the run found it.
    fresh = PanelProcess(TOOL)
    fresh.stop()
    fresh.tool_run("db", "1", "backup", before)
    with open(before, "rb") as a, open(after, "rb") as b:
        R.check(a.read() == b.read(), "board 1's EEPROM is as before the calibration (signal %d)" % sig)


arguments()
abuse()
stop_while_busy(signal.SIGTERM)
stop_while_busy(signal.SIGINT)
sys.exit(R.done())
