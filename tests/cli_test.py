#!/usr/bin/env python3
"""The qmd5820 tool end to end on the simulated board: output and exit status of its
commands. Usage: cli_test.py PATH_TO_QMD5820"""
import json
import math
import os
import pty
import re
import resource
import signal
import struct
import subprocess
import sys
import tempfile
import time
import zlib

TOOL = sys.argv[1] if len(sys.argv) > 1 else "qmd5820"
RESULTS = {"passed": 0, "failed": 0}

# Factory transducer types of the demo boards: index -> (range, sensitivity, frequency,
# primary voltage, calibrated).
FACTORY = {
    1: (2.0, 50.0, 5000.0, 3.0, "yes"),
    5: (10.0, 29.0, 4883.0, 2.0, "no"),
    12: (1.0, 100.0, 13951.0, 4.0, "no"),
}
LINE = re.compile(r"^\s*(?:(\d+)\s+)?(\d+)\s+(\d+)\s+0x([0-9A-F]{4})\s+(-?\d+\.\d+)$")


def run(*args, timeout=20, stdout=subprocess.PIPE):
    """The tool's result; a run that outlives `timeout` is killed and reports exit None."""
    try:
        return subprocess.run([TOOL, *args], stdout=stdout, stderr=subprocess.PIPE, text=True,
                              timeout=timeout)
    except subprocess.TimeoutExpired as e:
        out = e.stdout.decode() if isinstance(e.stdout, bytes) else (e.stdout or "")
        err = e.stderr.decode() if isinstance(e.stderr, bytes) else (e.stderr or "")
        return subprocess.CompletedProcess(e.cmd, None, out, err)


def check(name, condition, result=None):
    if condition:
        RESULTS["passed"] += 1
        return
    RESULTS["failed"] += 1
    print(f"FAIL: {name}")
    if result is not None:
        print(f"  exit {result.returncode}\n  stdout: {result.stdout!r}\n  stderr: {result.stderr!r}")


def readings(stdout):
    """(refresh or None, channel, transducer, raw, value) for every reading line."""
    rows = []
    for line in stdout.splitlines():
        m = LINE.match(line)
        if m:
            refresh = int(m.group(1)) if m.group(1) else None
            rows.append((refresh, int(m.group(2)), int(m.group(3)), int(m.group(4), 16),
                         float(m.group(5))))
    return rows


def expected_code(position, full_range):
    magnitude = min(32767, math.floor(abs(position) / full_range * 32767 + 0.5))
    return magnitude | (0x8000 if position < 0 else 0)


def test_boards():
    r = run("list")
    check("list exits 0", r.returncode == 0, r)
    check("list counts 2 boards", "2 board(s)" in r.stdout, r)
    ids = re.findall(r"^board (\d+): (\S+)$", r.stdout, re.M)
    check("list names both demo boards",
          ids == [("0", "QMD5820-DEMO-0"), ("1", "QMD5820-DEMO-1")], r)
    r = run("--help")
    check("--help prints the usage to stdout, exit 0",
          r.returncode == 0 and "usage:" in r.stdout and "watch BOARD" in r.stdout and
          "acquire BOARD" in r.stdout and "line BOARD" in r.stdout, r)


def test_json():
    """--json output parses as JSON and carries the same facts as the text."""
    r = run("list", "--json")
    data = parse_json(r)
    check("list --json: library version and both boards",
          r.returncode == 0 and data and data["library_version"] == "2026.04.1.0" and
          data["library_version_number"] == "0x07EA0426" and
          [b["identifier"] for b in data["boards"]] == ["QMD5820-DEMO-0", "QMD5820-DEMO-1"] and
          all(re.fullmatch(r"0x[0-9A-F]{8}", v) for b in data["boards"] for v in b["board_values"]),
          r)
    r = run("info", "1", "--json")
    data = parse_json(r)
    check("info --json: one board with driver and firmware in hex",
          r.returncode == 0 and data and data["index"] == 1 and
          re.fullmatch(r"0x[0-9A-F]{8}", data["driver_version"] or "") and
          re.fullmatch(r"0x[0-9A-F]{8}", data["firmware_version"] or ""), r)
    r = run("db", "1", "list", "--json")
    data = parse_json(r)
    got = {t["index"]: (t["range_mm"], t["sensitivity_mV_per_V_per_mm"], t["frequency_Hz"],
                        t["primary_voltage_V"], "yes" if t["calibrated"] else "no")
           for t in data["transducers"]} if data else None
    check("db list --json: the factory types with their values", r.returncode == 0 and
          got == FACTORY, r)
    r = run("--position", "0:3=-0.25", "read", "0", "3:1", "4:5", "--json")
    data = parse_json(r)
    check("read --json: channels, raw codes in hex, values in mm",
          r.returncode == 0 and data and data["unit"] == "mm" and
          [(c["channel"], c["transducer"]) for c in data["channels"]] == [(3, 1), (4, 5)] and
          data["channels"][0]["raw"] == "0x%04X" % expected_code(-0.25, 2.0) and
          abs(data["channels"][0]["value"] + 0.25) <= 2.0 / 32767, r)


def test_sim_state(work):
    """sim show and sim reset on a state file that outlives the runs."""
    env = dict(os.environ, QMD5820_SIM_STATE=os.path.join(work, "state"))

    def sim(*args):
        return subprocess.run([TOOL, *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              text=True, env=env, timeout=20)
    r = sim("outputs", "0", "on", "0x05")
    r2 = sim("outputs", "0")
    check("outputs are kept from one run to the next", "(0x05)" in r2.stdout, r2)
    r = sim("sim", "show")
    check("sim show names the state file and the outputs",
          r.returncode == 0 and env["QMD5820_SIM_STATE"] in r.stdout and "05" in r.stdout, r)
    r = sim("sim", "reset")
    r2 = sim("outputs", "0")
    check("sim reset returns to the factory outputs",
          r.returncode == 0 and "factory" in r.stdout and "(0x00)" in r2.stdout, r2)
    r = run("sim", "show")
    check("sim show without a state file says so", r.returncode == 0 and "no state file" in r.stdout, r)
    # Without QMD5820_SIM_STATE, XDG_STATE_HOME and HOME the reason is the missing home,
    # not the variable.
    bare = {k: v for k, v in os.environ.items()
            if k not in ("QMD5820_SIM_STATE", "XDG_STATE_HOME", "HOME")}
    r = subprocess.run([TOOL, "sim", "show"], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                       text=True, env=bare, timeout=20)
    check("sim show without a home names the missing home",
          r.returncode == 0 and "HOME are all unset" in r.stdout and
          "is empty or" not in r.stdout, r)


def run_on_state(state, *args, timeout=20):
    """The tool's result with QMD5820_SIM_STATE=state (exit None: killed after `timeout`)."""
    env = dict(os.environ, QMD5820_SIM_STATE=state)
    try:
        return subprocess.run([TOOL, *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              text=True, env=env, timeout=timeout)
    except subprocess.TimeoutExpired as e:
        return subprocess.CompletedProcess(e.cmd, None, "", "")


def test_state_file_never_destroys(work):
    """A state file path that names anything but a state file: left as it is, and the
    command fails at once, saying what to do."""
    fifo = os.path.join(work, "fifo")
    os.mkfifo(fifo)
    r = run_on_state(fifo, "list", timeout=10)
    check("a FIFO as state file: list fails at once", r.returncode not in (0, None) and
          "is a FIFO" in r.stderr, r)
    notes = os.path.join(work, "notes.txt")
    with open(notes, "w") as f:
        f.write("keep\n")
    for args in (("outputs", "0", "on", "1"), ("sim", "reset"), ("sim", "show")):
        r = run_on_state(notes, *args)
        with open(notes) as f:
            kept = f.read() == "keep\n"
        check(f"a text file as state file: {' '.join(args)} fails and leaves it",
              r.returncode not in (0, None) and kept and "QMD5820_SIM_STATE" in r.stderr, r)
    r = run_on_state(work, "outputs", "0", "on", "1")
    check("a directory as state file: the command fails", r.returncode not in (0, None) and
          "is a directory" in r.stderr and os.path.isdir(work), r)


def test_parallel_outputs(work):
    """Programs switching distinct outputs on at the same time: none is lost."""
    state = os.path.join(work, "state")
    env = dict(os.environ, QMD5820_SIM_STATE=state)
    trials, lost = 25, 0
    for _ in range(trials):
        run_on_state(state, "outputs", "0", "off", "0xFF")
        procs = [subprocess.Popen([TOOL, "outputs", "0", "on", str(1 << bit)], env=env,
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                 for bit in range(4)]
        codes = [p.wait(timeout=20) for p in procs]
        r = run_on_state(state, "outputs", "0")
        lost += 0 if codes == [0, 0, 0, 0] and "(0x0F)" in r.stdout else 1
    print(f"parallel outputs on: {lost} of {trials} trials lost a change")
    check("four parallel 'outputs on' of distinct bits end at 0x0F every time", lost == 0)


def parse_json(result):
    try:
        return json.loads(result.stdout)
    except ValueError:
        return None


def test_database():
    r = run("db", "0", "list")
    check("db list exits 0", r.returncode == 0, r)
    rows = [line.split() for line in r.stdout.splitlines()[2:]]
    check("db list shows indexes 1, 5, 12 in table order",
          [int(row[0]) for row in rows] == [1, 5, 12], r)
    for row in rows:
        index = int(row[0])
        want = FACTORY.get(index)
        got = (float(row[1]), float(row[2]), float(row[3]), float(row[4]), row[5])
        check(f"db list values of transducer {index}", got == want, r)

    r = run("db", "1", "show", "5")
    fields = dict(re.findall(r"^\s+([a-z ]+):\s+(\S+)", r.stdout, re.M))
    check("db show 5", r.returncode == 0 and fields == {
        "range": "10", "sensitivity": "29", "frequency": "4883",
        "primary voltage": "2", "calibrated": "no"}, r)

    r = run("db", "0", "show", "7")
    check("db show of an unknown index fails with the library's text",
          r.returncode == 1 and "i_QMD5820_TransducerDatabaseReadTransducerInfo: "
          "The selected transducer index is not in the database (-3)" in r.stderr, r)

    r = run("db", "0", "add", "20", "4", "80", "10000", "3", "10")
    check("db add reads the new type back",
          r.returncode == 0 and "transducer 20" in r.stdout and
          re.search(r"range:\s+4 mm\n", r.stdout) and re.search(r"frequency:\s+10000 Hz", r.stdout),
          r)
    r = run("db", "0", "add", "5", "4", "80", "10000", "3", "10")
    check("db add of an existing index fails",
          r.returncode == 1 and "i_QMD5820_TransducerDatabaseAdd: "
          "The transducer is already in the database (-4)" in r.stderr, r)
    r = run("db", "0", "delete", "12")
    check("db delete", r.returncode == 0 and "transducer 12 deleted" in r.stdout, r)
    r = run("db", "0", "delete", "13")
    check("db delete of an unknown index fails",
          r.returncode == 1 and "i_QMD5820_TransducerDatabaseDelete:" in r.stderr, r)


def test_read():
    positions = {0: (1.25, 1), 1: (-7.5, 5), 4: (0.3, 12)}
    args = []
    for channel, (position, _) in positions.items():
        args += ["--position", f"0:{channel}={position}"]
    # A position set on board 1 must not reach board 0.
    args += ["--position", "1:0=-1.0", "read", "0", "4:12", "0:1", "1:5"]
    r = run(*args)
    rows = readings(r.stdout)
    check("read exits 0", r.returncode == 0, r)
    check("read prints the channels in argument order",
          [(row[1], row[2]) for row in rows] == [(4, 12), (0, 1), (1, 5)], r)
    for _, channel, transducer, raw, value in rows:
        position, _ = positions[channel]
        full_range = FACTORY[transducer][0]
        check(f"read channel {channel}: raw code",
              raw == expected_code(position, full_range), r)
        check(f"read channel {channel}: metric value within one code step",
              abs(value - position) <= full_range / 32767, r)

    r = run("--position", "0:0=5", "read", "0", "0:1")
    check("read saturates beyond the range",
          r.returncode == 0 and readings(r.stdout)[0][3:] == (0x7FFF, 2.0), r)

    r = run("read", "0", "0:1", "2:7")
    check("read of an unknown transducer index fails with the library's text",
          r.returncode == 1 and "i_QMD5820_Init1TransducerChannel: "
          "Unable to read the board's EEPROM (-3)" in r.stderr and not readings(r.stdout), r)
    r = run("read", "7", "0:1")
    check("read on a board that does not exist fails", r.returncode == 1, r)


def test_bad_arguments():
    cases = [
        ("bogus", "0"),
        ("read", "0"),
        ("read", "0", "0"),
        ("read", "0", "0:1x"),
        ("read", "0", " 0:1"),
        ("read", "0", "16:1"),
        ("read", "0", "0:256"),
        ("read", "0", "-1:1"),
        ("read", "0", "0:1", "0:5"),
        ("read", "0x", "0:1"),
        ("read", "0", "0:1", "--count", "2"),
        ("watch", "0", "0:1", "--count", "0"),
        ("watch", "0", "0:1", "--count"),
        ("watch", "0", "0:1", "--interval", "10ms"),
        ("watch", "0", "0:1", "--count", "4294967296"),
        ("--position", "0:0=1.5mm", "read", "0", "0:1"),
        ("--position", "0:0=nan", "read", "0", "0:1"),
        ("--position", "0:16=1", "read", "0", "0:1"),
        ("--position", "9:0=1", "read", "0", "0:1"),
        ("--position", "0=1", "read", "0", "0:1"),
        ("--position",),
        ("--fast", "list"),
        ("db", "0", "show", "1.0"),
        ("db", "0", "show"),
        ("db", "0", "add", "20", "4", "80", "10000", "3"),
        ("db", "0", "add", "20", "4", "80", "1e400", "3", "10"),
        ("db", "0", "list", "extra"),
        ("db", "0", "backup"),
        ("db", "0", "backup", ""),
        ("db", "0", "backup", "f", "--force"),
        ("db", "0", "restore", "f", "--force", "--force"),
        ("db", "0", "check", "extra"),
        ("db", "0", "show", "1", "--backup", "f"),
        ("db", "0", "delete", "1", "--backup"),
        ("db", "0", "delete", "1", "--backup", "f", "--backup", "g"),
        ("outputs", "0", "on", "0x100"),
        ("timer", "0", "start", "1", "65536"),
        ("acquire", "0"),
        ("acquire", "0", "0:1", "0:5"),
        ("acquire", "0", "0:1", "--interrupts", "-1"),
        ("acquire", "0", "0:1", "--interrupts"),
        ("acquire", "0", "0:1", "--sequences-per-interrupt", "65536"),
        ("acquire", "0", "0:1", "--trigger", "external"),
        ("acquire", "0", "0:1", "--csv", ""),
        ("acquire", "0", "0:1", "--count", "2"),
        ("line", "0"),
        ("line", "0", "interrupts"),
        ("line", "0", "interrupts", "2"),
        ("line", "0", "test", "rearm", "interrupts"),
        ("--short-circuit", "9", "line", "0", "test"),
        ("--short-circuit",),
        ("--sequence-period", "0:0", "acquire", "0", "0:1"),
    ]
    for args in cases:
        r = run(*args)
        check(f"usage error: {' '.join(args)}",
              r.returncode == 2 and "usage:" in r.stderr and not r.stdout, r)
    # Each error says which argument is wrong and what was expected, in a few lines.
    reasons = [
        (("bogus", "0"), "unknown command 'bogus'"),
        (("read", "0"), "CH:INDEX is required"),
        (("read", "0", "16:1"), "CH:INDEX: expected CH:INDEX (channel 0 to 15"),
        (("read", "0", "0:1", "0:5"), "channel 0 is listed twice"),
        (("read", "0x", "0:1"), "BOARD: expected a board index from 0 to 255"),
        (("watch", "0", "0:1", "--interval", "10ms"), "--interval: expected milliseconds"),
        (("db", "0", "add", "20", "4", "80", "10000", "3"), "IMPEDANCE is required"),
        (("db", "0", "add", "20", "4", "80", "1e400", "3", "10"),
         "FREQUENCY: expected a finite decimal number"),
        (("outputs", "0", "on"), "MASK is required"),
        (("line", "0", "test", "jump"), "ACTION: expected test, rearm"),
        (("--position", "0:16=1", "read", "0", "0:1"), "--position: expected BOARD:CH=VALUE"),
        (("acquire", "0", "0:1", "--trigger", "external"), "--trigger: expected soft or none"),
    ]
    for args, reason in reasons:
        r = run(*args)
        lines = r.stderr.splitlines()
        check(f"error names the argument: {' '.join(args)}",
              r.returncode == 2 and reason in lines[0] and len(lines) <= 3 and
              f"usage: qmd5820 " in r.stderr, r)
    for command in ("read", "acquire", "db 0 add", "timer 0 start", "watch"):
        r = run(*command.split(), "--help")
        check(f"{command} --help is the command's own help",
              r.returncode == 0 and "--help" in r.stdout and "Positionals" in r.stdout and
              "acquire BOARD" not in r.stdout if command != "acquire" else
              r.returncode == 0 and "--interrupts" in r.stdout and "line BOARD" not in r.stdout, r)
    r = run("--version")
    check("--version names tool, library, drivers and firmware",
          r.returncode == 0 and re.search(r"^qmd5820 2026\.04\.1\.0$", r.stdout, re.M) and
          "library 2026.04.1.0 (0x07EA0426)" in r.stdout and
          len(re.findall(r"^board \d: QMD5820-DEMO-\d, driver \d+\.\d+ .*, firmware \d+\.\d+ ",
                         r.stdout, re.M)) == 2, r)

    r = run("read", "0", "0x3:0x5")
    check("hexadecimal channel and index are accepted",
          r.returncode == 0 and [row[1:3] for row in readings(r.stdout)] == [(3, 5)], r)


def test_watch():
    r = run("--position", "0:2=0.5", "watch", "0", "2:1", "3:5",
            "--count", "2", "--interval", "50", timeout=10)
    rows = readings(r.stdout)
    check("watch --count 2 terminates with exit 0", r.returncode == 0, r)
    check("watch appends one line per channel and refresh when not a terminal",
          [row[:3] for row in rows] == [(1, 2, 1), (1, 3, 5), (2, 2, 1), (2, 3, 5)], r)
    check("watch without --moving reads the same values",
          rows[0][3:] == rows[2][3:] == (expected_code(0.5, 2.0), rows[0][4]), r)
    check("watch writes no cursor sequences when not a terminal", "\x1b" not in r.stdout, r)

    r = run("--moving", "--position", "0:0=0.5", "watch", "0", "0:1",
            "--count", "3", "--interval", "100", timeout=10)
    rows = readings(r.stdout)
    check("watch --moving changes the position between refreshes",
          r.returncode == 0 and len(rows) == 3 and len({row[3] for row in rows}) == 3 and
          all(abs(row[4] - 0.5) <= 0.5 + 2.0 / 32767 for row in rows), r)

    # On a terminal the block of lines is redrawn in place: cursor up over the two lines.
    master, slave = os.openpty()
    with subprocess.Popen([TOOL, "watch", "0", "0:1", "1:5", "--count", "3", "--interval", "20"],
                          stdout=slave, stderr=subprocess.DEVNULL) as p:
        os.close(slave)
        out = b""
        while True:
            try:
                chunk = os.read(master, 4096)
            except OSError:  # the terminal is gone once the tool has exited
                break
            if not chunk:
                break
            out += chunk
        status = p.wait(timeout=10)
    os.close(master)
    text = out.decode()
    check("watch on a terminal redraws the channel lines in place",
          status == 0 and text.count("\x1b[2A") == 2 and text.count("\x1b[2K") == 6 and
          len(re.findall(r"^\r\x1b\[2K\s+3\s+\d", text.replace("\x1b[2A", "\n"), re.M)) == 2,
          subprocess.CompletedProcess("watch", status, text, ""))

    r = run("watch", "0", "0:7", "--count", "2")
    check("watch of an unknown transducer index fails",
          r.returncode == 1 and "i_QMD5820_Init1TransducerChannel:" in r.stderr, r)


def csv_rows(text):
    """The header fields and the rows of an acquire CSV (fields as text)."""
    lines = text.splitlines()
    if not lines:
        return [], []
    return lines[0].split(","), [line.split(",") for line in lines[1:]]


def test_acquire():
    positions = {3: (0.75, 1), 9: (-4.0, 5)}
    r = run("--position", "0:3=0.75", "--position", "0:9=-4.0",
            "acquire", "0", "9:5", "3:1", "--sequences-per-interrupt", "4", "--interrupts", "5")
    header, rows = csv_rows(r.stdout)
    check("acquire exits 0 with nothing on stderr", r.returncode == 0 and not r.stderr, r)
    check("acquire CSV header names the channels in argument order",
          header == ["sequence", "arrival/s", "ch9/mm", "ch3/mm"], r)
    check("acquire writes one line per sequence: interrupts x sequences per interrupt",
          len(rows) == 20 and [row[0] for row in rows] == [str(n) for n in range(1, 21)], r)
    for column, channel in ((2, 9), (3, 3)):
        position, transducer = positions[channel]
        step = FACTORY[transducer][0] / 32767
        check(f"acquire channel {channel}: every value within one code step of the position",
              rows and all(len(row) == 4 and abs(float(row[column]) - position) <= step
                           for row in rows), r)

    r = run("--moving", "--position", "0:0=1.0", "acquire", "0", "0:1", "--interrupts", "10",
            "--sequences-per-interrupt", "20")
    header, rows = csv_rows(r.stdout)
    values = [float(row[2]) for row in rows]
    check("acquire --moving: positions drift within a quarter of the range around the set one",
          r.returncode == 0 and len(rows) == 200 and len(set(values)) > 1 and
          all(abs(v - 1.0) <= 2.0 / 4 + 2.0 / 32767 for v in values), r)

    # On a terminal stderr gets a progress line; the CSV on stdout is not touched by it.
    master, slave = pty.openpty()
    p = subprocess.Popen([TOOL, "acquire", "0", "0:1", "--interrupts", "4",
                          "--sequences-per-interrupt", "50"], stdout=subprocess.PIPE,
                         stderr=slave, text=True)
    out, _ = p.communicate(timeout=20)
    os.close(slave)
    progress = b""
    while True:
        try:
            chunk = os.read(master, 4096)
        except OSError:
            break
        if not chunk:
            break
        progress += chunk
    os.close(master)
    shown = [part for part in progress.decode(errors="replace").split("\r") if part.strip()]
    last = shown[-1] if shown else ""
    check("acquire shows sequences, rate, elapsed time and dropped on a terminal",
          p.returncode == 0 and len(out.splitlines()) == 201 and
          re.search(r"200 sequences, \d+ sequences/s, \d+\.\d s, 0 dropped", last),
          subprocess.CompletedProcess(p.args, p.returncode, out, progress))

    r = run("acquire", "0", "0:1", "1:5")
    header, rows = csv_rows(r.stdout)
    check("acquire defaults: 3 interrupts of 10 sequences",
          r.returncode == 0 and header == ["sequence", "arrival/s", "ch0/mm", "ch1/mm"] and len(rows) == 30, r)

    path = os.path.join(os.environ.get("TMPDIR", "/tmp"), f"qmd5820_cli_{os.getpid()}.csv")
    try:
        r = run("--position", "1:2=0.5", "acquire", "1", "2:12", "--trigger", "soft",
                "--interrupts", "2", "--sequences-per-interrupt", "2", "--csv", path)
        with open(path, encoding="ascii") as f:
            header, rows = csv_rows(f.read())
        check("acquire --csv --trigger soft writes the file and reports it",
              r.returncode == 0 and "4 sequences of 1 channel(s) written to" in r.stdout and
              header == ["sequence", "arrival/s", "ch2/mm"] and len(rows) == 4 and
              all(abs(float(row[2]) - 0.5) <= 1.0 / 32767 for row in rows), r)
    finally:
        if os.path.exists(path):
            os.remove(path)

    r = run("acquire", "0", "0:1", "--sequences-per-interrupt", "3")
    check("acquire of an odd number of codes per interrupt fails with the library's text",
          r.returncode == 1 and not r.stdout and "i_QMD5820_InitAndStartTransducerSequence: "
          "b_SequenceSize * dw_SequencesBeforeInterrupt must be pair (-7)" in r.stderr, r)
    r = run("acquire", "0", "0:1", "2:7")
    check("acquire of an unknown transducer index fails and names it",
          r.returncode == 1 and not r.stdout and
          "i_QMD5820_InitAndStartTransducerSequence: Error while initializing a transducer" in
          r.stderr and "transducer 7 is not in the database of board 0" in r.stderr, r)
    r = run("--sequence-period", "0:1000000", "acquire", "0", "0:1", "--csv", path, timeout=30)
    check("acquire on a board that stays silent times out with a readable error, no file",
          r.returncode == 1 and not r.stdout and not os.path.exists(path) and
          "no sequence interrupt from board 0 for 5.0 s (0 of 3 received)" in r.stderr, r)
    r = run("acquire", "0", "0:1", "--csv", "/nonexistent-dir/out.csv")
    check("acquire into a file that cannot be created fails before acquiring",
          r.returncode == 1 and "/nonexistent-dir/out.csv" in r.stderr, r)


def test_output_files(work):
    """acquire --csv writes through a temporary file: nothing it did not create is lost."""
    target = os.path.join(work, "kept.csv")
    with open(target, "w") as f:
        f.write("data\n")
    r = run("acquire", "0", "0:99", "--csv", target)
    kept = read_text(target)
    check("a failed acquire leaves an existing CSV file as it was",
          r.returncode == 1 and kept == "data\n" and os.listdir(work) == ["kept.csv"], r)
    r = run("acquire", "0", "0:1", "--interrupts", "1", "--sequences-per-interrupt", "2",
            "--csv", target)
    header, rows = csv_rows(read_text(target) or "")
    check("a successful acquire replaces the file, no temporary file stays",
          r.returncode == 0 and header == ["sequence", "arrival/s", "ch0/mm"] and len(rows) == 2 and
          os.listdir(work) == ["kept.csv"], r)
    if os.path.exists(target):
        os.remove(target)

    # A file that cannot take the CSV (at most 100 bytes per file): a failure, the target
    # as it was, no temporary file left.
    def small_files():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (100, 100))
    with open(target, "w") as f:
        f.write("data\n")
    p = subprocess.run([TOOL, "acquire", "0", "0:1", "--csv", target], capture_output=True,
                       text=True, timeout=20, preexec_fn=small_files)
    check("acquire into a file that cannot be written fails loudly and keeps the target",
          p.returncode == 1 and "cannot be written" in p.stderr and
          read_text(target) == "data\n" and os.listdir(work) == ["kept.csv"], p)

    fifo = os.path.join(work, "pipe")
    os.mkfifo(fifo)
    r = run("acquire", "0", "0:1", "--csv", fifo, timeout=10)
    check("acquire refuses a target that is not a regular file and leaves it",
          r.returncode == 1 and "is not a regular file" in r.stderr and os.path.exists(fifo), r)
    os.remove(fifo)

    # Interrupted runs keep what was received (200 sequences take 4 s; the signal comes
    # after the first interrupts).
    for sig in (signal.SIGINT, signal.SIGTERM):
        with open(target, "w") as f:
            f.write("old contents\n")
        p = subprocess.Popen([TOOL, "--sequence-period", "0:20000", "acquire", "0", "0:1",
                              "--sequences-per-interrupt", "2", "--interrupts", "100",
                              "--csv", target], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             text=True)
        time.sleep(1.0)
        p.send_signal(sig)
        out, err = p.communicate(timeout=20)
        r = subprocess.CompletedProcess(p.args, p.returncode, out, err)
        header, rows = csv_rows(read_text(target) or "")
        check(f"acquire ended by {sig.name} keeps the sequences received, numbered from 1",
              p.returncode == 128 + sig and header == ["sequence", "arrival/s", "ch0/mm"] and
              0 < len(rows) < 200 and [row[0] for row in rows] == [str(n) for n in
                                                                   range(1, len(rows) + 1)] and
              f"interrupted by {sig.name}" in err and f": {len(rows)} rows written" in err and
              os.listdir(work) == ["kept.csv"], r)
    # A recording without a count (--interrupts 0) ended by Ctrl-C: the file holds every
    # row with times that never fall (rows of one block share their arrival), and the trace shows the acquisition stopped before the board
    # was closed and no driver request after the close.
    p = subprocess.Popen([TOOL, "--trace", "--sequence-period", "0:5000", "acquire", "0", "0:1",
                          "--sequences-per-interrupt", "2", "--interrupts", "0", "--csv", target],
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    time.sleep(1.0)
    p.send_signal(signal.SIGINT)
    out, err = p.communicate(timeout=20)
    r = subprocess.CompletedProcess(p.args, p.returncode, out, err)
    header, rows = csv_rows(read_text(target) or "")
    times = [float(row[1]) for row in rows]
    requests = [line for line in err.splitlines() if line.startswith("qmd5820 trace:")]
    names = [line.split()[3] if "ioctl" in line else line.split()[2] for line in requests]
    stop = len(names) - 1 - names[::-1].index("StopAcquisition") if "StopAcquisition" in names else -1
    check("acquire --interrupts 0 ended by Ctrl-C keeps every row, then stops and closes",
          p.returncode == 130 and header == ["sequence", "arrival/s", "ch0/mm"] and
          len(rows) >= 2 and len(rows) % 2 == 0 and
          [row[0] for row in rows] == [str(n) for n in range(1, len(rows) + 1)] and
          all(0 < a <= b for a, b in zip(times, times[1:])) and
          f"interrupted by SIGINT (Ctrl-C): {len(rows)} rows written" in err and
          0 < names.index("StartSequence") < stop and names[-1] == "close" and
          "StartSequence" not in names[stop:] and os.listdir(work) == ["kept.csv"], r)
    if os.path.exists(target):
        os.remove(target)


def read_text(path):
    """A file's text, None when it does not exist."""
    try:
        with open(path) as f:
            return f.read()
    except FileNotFoundError:
        return None


def test_stdout_failures():
    """Every command that prints fails when standard output cannot take it."""
    commands = [
        ("list",), ("--help",), ("info", "0"), ("inputs", "0"), ("outputs", "0"),
        ("timer", "0", "status"), ("db", "0", "list"), ("db", "0", "show", "1"),
        ("db", "0", "check"), ("read", "0", "0:1"),
        ("watch", "0", "0:1", "--count", "3", "--interval", "10"),
        ("watch", "0", "0:1", "--interval", "10"),  # would run until Ctrl-C
        ("acquire", "0", "0:1"), ("acquire", "0", "0:1", "--csv", "-"), ("line", "0", "test"),
    ]
    with open("/dev/full", "w") as full:
        for args in commands:
            r = run(*args, stdout=full, timeout=10)
            check(f"{' '.join(args)} > /dev/full fails with a message",
                  r.returncode == 1 and "standard output cannot be written" in r.stderr, r)


BACKUP_HEADER = 76


def backup_words(path):
    if not os.path.exists(path):
        return b"\0" * (BACKUP_HEADER + 4), []
    with open(path, "rb") as f:
        data = f.read()
    words = len(data[BACKUP_HEADER:-4]) // 2
    return data, list(struct.unpack(f"<{words}H", data[BACKUP_HEADER:-4]))


def write_backup(path, header, words, fix_checksum=True):
    body = header + struct.pack(f"<{len(words)}H", *words)
    crc = zlib.crc32(body) if fix_checksum else zlib.crc32(body) ^ 1
    with open(path, "wb") as f:
        f.write(body + struct.pack("<I", crc))


def test_eeprom_backup(work):
    saved = os.path.join(work, "board0.eeprom")
    r = run("db", "0", "backup", saved)
    data, words = backup_words(saved)
    check("db backup saves the whole EEPROM with the board's identity and a CRC-32",
          r.returncode == 0 and data[:8] == b"QMD5820E" and len(words) == 65536 and
          b"QMD5820-DEMO-0" in data[:BACKUP_HEADER] and
          struct.unpack("<I", data[-4:])[0] == zlib.crc32(data[:-4]) and
          words[129] | words[130] << 16 == struct.unpack("<I", data[16:20])[0] and
          os.listdir(work) == ["board0.eeprom"], r)

    r = run("db", "0", "restore", saved)
    check("restoring an unchanged board writes nothing",
          r.returncode == 0 and "0 word(s) written" in r.stdout, r)

    changed = os.path.join(work, "changed.eeprom")
    edited = list(words)
    edited[40000] ^= 0x1234
    edited[200] ^= 1
    edited[65535] = 0xBEEF
    write_backup(changed, data[:BACKUP_HEADER], edited)
    r = run("db", "0", "restore", changed)
    check("restore writes exactly the words that differ and verifies them",
          r.returncode == 0 and "3 word(s) written" in r.stdout and "reads back equal" in r.stdout,
          r)

    torn = list(words)
    torn[132] += 58  # the structured area grown without its record
    write_backup(changed, data[:BACKUP_HEADER], torn)
    r = run("db", "0", "restore", changed)
    check("restore refuses a backup whose database is inconsistent and names the problem",
          r.returncode == 1 and "nothing was written" in r.stderr and
          "problem: word 132" in r.stderr, r)
    r = run("db", "0", "restore", changed, "--force")
    check("restore --force writes it and reports the inconsistent database it wrote back",
          r.returncode == 0 and "1 word(s) written" in r.stdout and
          "inconsistent" in r.stdout and "problem: word 132" in r.stdout, r)

    write_backup(changed, data[:BACKUP_HEADER], edited, fix_checksum=False)
    r = run("db", "0", "restore", changed)
    check("a damaged backup is refused before anything is written",
          r.returncode == 1 and "checksum" in r.stderr and "nothing was written" in r.stderr, r)
    with open(changed, "wb") as f:
        f.write(data[:1000])
    r = run("db", "0", "restore", changed)
    check("a truncated backup is refused", r.returncode == 1 and "truncated" in r.stderr, r)
    os.remove(changed)

    r = run("db", "1", "restore", saved)
    check("a backup of another board is refused unless --force",
          r.returncode == 1 and "QMD5820-DEMO-0" in r.stderr and "--force" in r.stderr and
          "nothing was written" in r.stderr, r)
    r = run("db", "1", "restore", saved, "--force")
    check("restore --force writes another board's backup",
          r.returncode == 0 and "reads back equal" in r.stdout, r)

    r = run("db", "0", "check")
    check("db check of the factory database", r.returncode == 0 and "consistent" in r.stdout and
          "transducer 1, selection type 2, calibrated" in r.stdout and
          "transducer 12, selection type 4" in r.stdout, r)


def test_changes_take_a_backup(work):
    state = os.path.join(work, "state")
    os.environ["XDG_STATE_HOME"] = state
    before = os.path.join(work, "before.eeprom")
    run("db", "0", "backup", before)
    r = run("db", "0", "add", "20", "4", "80", "10000", "3", "10")
    backups = os.path.join(state, "qmd5820", "backups")
    files = sorted(os.listdir(backups)) if os.path.isdir(backups) else []
    check("db add saves the EEPROM to the per-user directory first and names the restore",
          r.returncode == 0 and len(files) == 1 and
          f"qmd5820 db 0 restore {os.path.join(backups, files[0])}" in r.stdout, r)
    if files:
        with open(before, "rb") as f, open(os.path.join(backups, files[0]), "rb") as g:
            check("the automatic backup is the EEPROM before the change", f.read() == g.read())
    r = run("db", "0", "delete", "12")
    check("each change gets a backup of its own",
          r.returncode == 0 and len(os.listdir(backups)) == 2, r)

    own = os.path.join(work, "own.eeprom")
    r = run("db", "0", "add", "5", "4", "80", "10000", "3", "10", "--backup", own)
    check("a failed add keeps its backup and says the EEPROM is as before",
          r.returncode == 1 and os.path.exists(own) and
          "the change was undone" in r.stderr and "reads back as it was before" in r.stderr, r)
    r = run("db", "0", "delete", "12", "--backup", "/dev/null")
    check("no change without a backup",
          r.returncode == 1 and "was not changed" in r.stderr and "deleted" not in r.stdout, r)


def line_status(stdout):
    """The status bytes printed by every line test of a run."""
    return [int(value, 16) for value in re.findall(r"^primary line status 0x([0-9A-F]{2})$",
                                                    stdout, re.M)]


def test_line():
    r = run("line", "0", "test")
    check("line test: no short circuit, the detection responds at the factory threshold",
          r.returncode == 0 and line_status(r.stdout) == [0x01] and
          re.search(r"short circuit:\s+none", r.stdout), r)

    r = run("--short-circuit", "1", "line", "1", "test", "rearm", "test")
    check("line test shows a latched short circuit; a rearm clears it",
          r.returncode == 0 and line_status(r.stdout) == [0x03, 0x01] and
          "latched (clear it with 'qmd5820 line 1 rearm')" in r.stdout and
          "primary line rearmed" in r.stdout, r)
    r = run("--short-circuit", "1", "line", "0", "test")
    check("a short circuit on board 1 does not reach board 0",
          r.returncode == 0 and line_status(r.stdout) == [0x01], r)

    r = run("--short-circuit", "0", "line", "0", "calibrate", "test", "interrupts", "on",
            "interrupts", "off")
    check("line calibrate rearms a latched short circuit and leaves the detection responding",
          r.returncode == 0 and "primary line test calibrated" in r.stdout and
          line_status(r.stdout) == [0x01] and "short-circuit interrupts enabled\n"
          "short-circuit interrupts disabled" in r.stdout, r)

    r = run("--position", "0:0=1", "line", "0", "bogus")
    check("line with an unknown action is a usage error",
          r.returncode == 2 and "usage:" in r.stderr, r)


CAL_ROW = re.compile(r"^\s*(\d+)\s+(-?\d+\.\d+)\s+(-?\d+\.\d+)\s+(-?\d+\.\d+)$")


def calibration_rows(stdout):
    """(channel, position, before, after) for every reading line of a calibration."""
    return [(int(m.group(1)), float(m.group(2)), float(m.group(3)), float(m.group(4)))
            for m in map(CAL_ROW.match, stdout.splitlines()) if m]


def test_calibrate():
    runs = [
        ("worker on group 0", ["calibrate", "0", "1", "3", "--position", "1.0"], 2.0, {3}),
        ("worker on groups 0 and 1", ["calibrate", "0", "5", "0,12", "--position", "6",
                                      "--impedance", "1500"], 10.0, {0, 12}),
        ("worker, transducer model 1", ["calibrate", "0", "12", "6", "--position", "0.5",
                                        "--model", "1"], 1.0, {6}),
        ("step by step on groups 0 and 1", ["calibrate", "0", "5", "1,9", "--position", "6",
                                            "--interactive"], 10.0, {1, 9}),
    ]
    for name, args, full_range, channels in runs:
        r = run("--virtual-clock", *args)
        rows = calibration_rows(r.stdout)
        check(f"calibrate ({name}): every channel within 0.1 % of range after, visibly off "
              "before at 80 % of range",
              r.returncode == 0 and {row[0] for row in rows} == channels and
              all(abs(after - pos) <= 0.001 * full_range for _, pos, _, after in rows) and
              all(abs(before - pos) > 0.01 * full_range
                  for _, pos, before, _ in rows if abs(pos) == 0.8 * full_range) and
              "calibrated in" in r.stderr and "moved to" in r.stderr, r)

    # Positions the worker cannot reach or check: refused before anything is read or
    # changed, with the bounds of the type (type 5 has a range of 10).
    for position in ("-1", "0.05", "9.995", "100", "1e308"):
        r = run("--virtual-clock", "calibrate", "0", "5", "3", "--position", position)
        check(f"calibrate refuses position {position} with the type's bounds",
              r.returncode == 1 and not r.stdout and "0.078125" in r.stderr and
              "9.99" in r.stderr and "calibrating" not in r.stderr, r)

    r = run("--virtual-clock", "--frozen-counter", "0", "calibrate", "0", "1", "3",
            "--position", "1.0")
    check("a worker failure names phase, code and meaning and restores the block",
          r.returncode == 1 and not r.stdout and
          "calibration failed in phase 4 (group 0: symmetry): code 10, sampling the live "
          "values failed" in r.stderr and "configuration block restored" in r.stderr, r)
    r = run("--virtual-clock", "--frozen-counter", "0", "calibrate", "0", "1", "3",
            "--position", "1.0", "--interactive")
    check("a step-by-step failure prints the library's text and breaks",
          r.returncode == 1 and "i_QMD5820_StartCalibration" in r.stderr and "(-13)" in r.stderr
          and "restored: the potentiometers" in r.stderr and "the excitation table" in r.stderr, r)
    r = run("--virtual-clock", "calibrate", "0", "7", "3", "--position", "1.0")
    check("calibrate of a type not in the database fails before anything runs",
          r.returncode == 1 and not r.stdout and "transducer" in r.stderr.lower(), r)

    for bad in (["calibrate", "0", "1", "3", "--position", "0"],
                ["calibrate", "0", "1", "3,5", "--position", "1"],             # CH1 below 8
                ["calibrate", "0", "1", "3", "--position", "1", "--model", "2"],
                ["calibrate", "0", "1", "3", "--position", "1", "--interactive", "--model", "1"]):
        r = run("--virtual-clock", *bad)
        check(f"calibrate usage error: {' '.join(bad)}",
              r.returncode == 2 and "usage:" in r.stderr and not r.stdout, r)

    # Ctrl-C on the real clock, once the worker adjusts: it breaks off and restores.
    p = subprocess.Popen([TOOL, "calibrate", "0", "1", "3", "--position", "1.0"],
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    seen = ""
    while "symmetry" not in seen:
        line = p.stderr.readline()
        if not line:
            break
        seen += line
    p.send_signal(2)
    out, err = p.communicate(timeout=20)
    check("Ctrl-C breaks the worker off (exit 130) and says what it restored and what not",
          p.returncode == 130 and not out and "breaking off" in err and
          "restored: the configuration block" in err and
          "NOT restored: the potentiometers" in err and "stored: nothing" in err,
          subprocess.CompletedProcess(p.args, p.returncode, out, seen + err))


def main():
    with tempfile.TemporaryDirectory() as state:
        # Backups of db add and delete go to the per-user directory: a temporary one here.
        os.environ["XDG_STATE_HOME"] = state
        for test in (test_boards, test_json, test_database, test_read, test_bad_arguments, test_watch,
                     test_acquire, test_line, test_stdout_failures, test_calibrate):
            test()
        for test in (test_output_files, test_eeprom_backup, test_changes_take_a_backup,
                     test_sim_state, test_state_file_never_destroys, test_parallel_outputs):
            with tempfile.TemporaryDirectory() as work:
                test(work)
    print(f"{RESULTS['passed']} passed, {RESULTS['failed']} failed")
    return 1 if RESULTS["failed"] else 0


if __name__ == "__main__":
    sys.exit(main())
