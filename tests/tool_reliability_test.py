#!/usr/bin/env python3
"""The qmd5820 tool where users lose data: breaks and signals, the recorder, database
changes by several processes, files the tool must not write, closed standard descriptors.
Usage: tool_reliability_test.py PATH_TO_QMD5820 [--trials N]

Concurrency cases run many trials and print their counts."""
import os
import re
import signal
import stat
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from cli_test import BACKUP_HEADER, backup_words, csv_rows, read_text, write_backup  # noqa: E402

TOOL = os.path.abspath(sys.argv[1]) if len(sys.argv) > 1 else "qmd5820"
TRIALS = int(sys.argv[sys.argv.index("--trials") + 1]) if "--trials" in sys.argv else 8
RESULTS = {"passed": 0, "failed": 0}


def check(name, condition, result=None):
    if condition:
        RESULTS["passed"] += 1
        return
    RESULTS["failed"] += 1
    print(f"FAIL: {name}")
    if result is not None:
        print(f"  exit {result.returncode}\n  stdout: {result.stdout[-2000:]!r}\n"
              f"  stderr: {result.stderr[-2000:]!r}")


def run(*args, env=None, timeout=60):
    try:
        return subprocess.run([TOOL, *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              text=True, env=env, timeout=timeout)
    except subprocess.TimeoutExpired as e:
        return subprocess.CompletedProcess(e.cmd, None, str(e.stdout), str(e.stderr))


def start(*args, env=None, stdout=subprocess.PIPE):
    return subprocess.Popen([TOOL, *args], stdout=stdout, stderr=subprocess.PIPE, text=True,
                            env=env)


def wait_for(p, text, limit=60.0):
    """Reads the process's stderr until `text` appears; what was read."""
    seen = ""
    deadline = time.monotonic() + limit
    while text not in seen and time.monotonic() < deadline:
        line = p.stderr.readline()
        if not line:
            break
        seen += line
    return seen


def finish(p, seen=""):
    out, err = p.communicate(timeout=60)
    return subprocess.CompletedProcess(p.args, p.returncode, out or "", seen + (err or ""))


def shared(work):
    """An environment whose simulated boards live in a state file in `work`."""
    return dict(os.environ, QMD5820_SIM_STATE=os.path.join(work, "state"),
                XDG_STATE_HOME=os.path.join(work, "xdg"))


# ---- breaks ---------------------------------------------------------------------------------

def test_breaks():
    # Each signal a terminal or a service manager sends ends every command the same way.
    for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        p = start("calibrate", "0", "1", "3", "--position", "1.0")
        seen = wait_for(p, "symmetry")
        sent = time.monotonic()
        p.send_signal(sig)
        seen += wait_for(p, "interrupted by")
        answered = time.monotonic() - sent
        seen += wait_for(p, "potentiometers")
        acted = time.monotonic() - sent
        r = finish(p, seen)
        print(f"  worker {sig.name}: answered after {answered:.2f} s, break done and reported "
              f"after {acted:.2f} s")
        check(f"worker calibration ended by {sig.name}: exit {128 + sig}, block restored, "
              "potentiometers said not to be",
              r.returncode == 128 + sig and f"interrupted by {sig.name}" in r.stderr and
              "restored: the configuration block of transducer 1" in r.stderr and
              "NOT restored: the potentiometers" in r.stderr and "stored: nothing" in r.stderr, r)

    # Before the symmetry phase the worker has changed no potentiometer.
    p = start("calibrate", "0", "1", "3", "--position", "1.0")
    # (the first line: printed with the signals caught, before the worker starts; the
    # preparing phase itself is too short to be seen on a loaded machine)
    seen = wait_for(p, "calibrating transducer")
    p.send_signal(signal.SIGINT)
    r = finish(p, seen)
    check("a break before the symmetry phase says no potentiometer was changed",
          r.returncode == 130 and ("potentiometers: not changed yet" in r.stderr or
                                   "NOT restored: the potentiometers" in r.stderr), r)

    # A break in the threshold phase: the worker stores its result, and the tool says so.
    p = start("db", "0", "show", "5")
    out, _ = p.communicate(timeout=30)
    p = start("calibrate", "0", "5", "0", "--position", "6", "--impedance", "350")
    seen = wait_for(p, "searching the threshold", limit=120)
    p.send_signal(signal.SIGINT)
    r = finish(p, seen)
    check("a break in the threshold phase keeps the stored result and says so",
          r.returncode == 130 and "kept: the result stored in the threshold phase" in r.stderr
          and "restored: the configuration block" not in r.stderr, r)

    # Step by step: the signal is answered while a step runs, acted on when it ends.
    for sig in (signal.SIGINT, signal.SIGTERM):
        p = start("calibrate", "0", "1", "3", "--position", "1.0", "--interactive")
        seen = wait_for(p, "symmetry and levels")
        time.sleep(0.3)
        sent = time.monotonic()
        p.send_signal(sig)
        told = wait_for(p, "breaking off")
        answered = time.monotonic() - sent
        r = finish(p, seen + told)
        check(f"step-by-step calibration ended by {sig.name}: exit {128 + sig}, potentiometers "
              "and table restored",
              r.returncode == 128 + sig and "as soon as this step ends" in r.stderr and
              "restored: the potentiometers" in r.stderr and "stored: nothing" in r.stderr, r)
        print(f"  step-by-step {sig.name}: answered after {answered:.2f} s")

    # A signal during the last step: the step stores the result before the break can act.
    p = start("calibrate", "0", "1", "3", "--position", "1.0", "--interactive")
    seen = wait_for(p, "positions, store", limit=120)
    time.sleep(0.2)
    p.send_signal(signal.SIGINT)
    r = finish(p, seen)
    check("Ctrl-C during the last step: exit 130, the stored result said to be kept",
          r.returncode == 130 and "during the last step" in r.stderr and
          "kept: the result stored by the last step" in r.stderr, r)

    p = start("watch", "0", "0:1", "--interval", "50")
    time.sleep(1.0)
    p.send_signal(signal.SIGINT)
    r = finish(p)
    check("watch ended by Ctrl-C exits 130 like every interrupted command",
          r.returncode == 130 and "interrupted by SIGINT" in r.stderr and r.stdout, r)


# ---- the recorder ---------------------------------------------------------------------------

def sequence_numbers(text):
    _, rows = csv_rows(text or "")
    return [int(row[0]) for row in rows], [float(row[1]) for row in rows]


def test_recorder(work):
    target = os.path.join(work, "run.csv")

    # 7 s stopped (SIGSTOP, SIGCONT): the run goes on, and Ctrl-C keeps what it has.
    p = start("acquire", "0", "0:1", "--interrupts", "0", "--csv", target)
    time.sleep(1.0)
    p.send_signal(signal.SIGSTOP)
    time.sleep(7.0)
    p.send_signal(signal.SIGCONT)
    time.sleep(1.0)
    p.send_signal(signal.SIGINT)
    r = finish(p)
    numbers, _ = sequence_numbers(read_text(target))
    check("a 7 s SIGSTOP pause does not end the run; Ctrl-C keeps every row",
          r.returncode == 130 and len(numbers) > 1000 and
          numbers == list(range(1, len(numbers) + 1)) and os.listdir(work) == ["run.csv"], r)

    # N x the sequence period beyond the old fixed wait.
    r = run("acquire", "0", "0:1", "--sequences-per-interrupt", "6000", "--interrupts", "1",
            "--csv", target)
    numbers, _ = sequence_numbers(read_text(target))
    check("6000 sequences per interrupt (6 s at 1 ms) are waited for",
          r.returncode == 0 and len(numbers) == 6000, r)

    # A run that records nothing leaves the old file; the signal is told.
    for sig in (signal.SIGINT, signal.SIGHUP):
        with open(target, "w") as f:
            f.write("old data\n")
        p = start("--sequence-period", "0:60000000", "acquire", "0", "0:1", "--interrupts", "0",
                  "--csv", target)
        time.sleep(1.0)
        p.send_signal(sig)
        r = finish(p)
        check(f"{sig.name} before any row: exit {128 + sig}, the old file as it was, no temporary",
              r.returncode == 128 + sig and read_text(target) == "old data\n" and
              os.listdir(work) == ["run.csv"] and "as it was" in r.stderr, r)

    # SIGHUP with rows: at the target, said.
    p = start("--sequence-period", "0:5000", "acquire", "0", "0:1", "--sequences-per-interrupt",
              "2", "--interrupts", "0", "--csv", target)
    time.sleep(1.0)
    p.send_signal(signal.SIGHUP)
    r = finish(p)
    numbers, _ = sequence_numbers(read_text(target))
    check("SIGHUP keeps the rows at the target and names it",
          r.returncode == 129 and numbers and numbers == list(range(1, len(numbers) + 1)) and
          f"rows written to {target}" in r.stderr and os.listdir(work) == ["run.csv"], r)

    # A replaced file keeps its permissions.
    os.chmod(target, 0o640)
    r = run("acquire", "0", "0:1", "--interrupts", "1", "--csv", target)
    check("a replaced CSV keeps its mode 0640",
          r.returncode == 0 and stat.S_IMODE(os.stat(target).st_mode) == 0o640, r)

    # A stalled reader at the fastest rate: memory bounded, drops counted and visible.
    p = subprocess.Popen([TOOL, "--sequence-period", "0:20", "acquire", "0", "0:1", "1:1",
                          "2:1", "3:1", "--sequences-per-interrupt", "500", "--interrupts",
                          "0"], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    time.sleep(8.0)
    with open(f"/proc/{p.pid}/status") as f:
        peak_kib = int(re.search(r"VmHWM:\s+(\d+)", f.read()).group(1))
    p.send_signal(signal.SIGINT)
    out, err = p.communicate(timeout=120)
    text = out.decode()
    numbers, times = sequence_numbers(text)
    dropped = re.search(r"(\d+) of (\d+) sequences dropped", err.decode())
    gaps = numbers[-1] - len(numbers) if numbers else -1
    r = subprocess.CompletedProcess(p.args, p.returncode, text[-500:], err.decode())
    check("a stalled reader: peak memory under 256 MiB, drops reported and equal to the gaps "
          "in the sequence column, times never fall",
          p.returncode == 130 and peak_kib < 256 * 1024 and dropped is not None and
          int(dropped.group(1)) == gaps > 0 and numbers == sorted(set(numbers)) and
          all(a <= b for a, b in zip(times, times[1:])), r)
    print(f"  stalled reader: peak {peak_kib // 1024} MiB, {len(numbers)} rows, {gaps} dropped")


# ---- the database ----------------------------------------------------------------------------

BAD_TRANSDUCERS = [
    ("negative range", ["20", "-5", "40", "3000", "3", "350"]),
    ("range 0", ["20", "0", "40", "3000", "3", "350"]),
    ("range beyond the record", ["20", "1e308", "40", "3000", "3", "350"]),
    ("zero sensitivity", ["20", "5", "0", "3000", "3", "350"]),
    ("negative frequency", ["20", "5", "40", "-3000", "3", "350"]),
    ("frequency beyond 32 bits", ["20", "5", "40", "1e10", "3", "350"]),
    ("zero voltage", ["20", "5", "40", "3000", "0", "350"]),
    ("voltage above 30 V", ["20", "5", "40", "3000", "31", "350"]),
    ("impedance -1", ["20", "5", "40", "3000", "3", "-1"]),
    ("impedance 1e308", ["20", "5", "40", "3000", "3", "1e308"]),
]


def test_database_values(work):
    env = shared(work)
    for name, values in BAD_TRANSDUCERS:
        r = run("db", "0", "add", *values, env=env)
        check(f"db add refuses {name} with the shared check's text, nothing written",
              r.returncode == 2 and "expected a number above" in r.stderr and
              not os.path.exists(os.path.join(work, "xdg")), r)
    r = run("db", "0", "check", env=env)
    check("after the refused adds the database is consistent", r.returncode == 0, r)

    # A record the check refuses (negative range), put there by a restore: db check names it.
    backup = os.path.join(work, "b.eeprom")
    r = run("db", "0", "backup", backup, env=env)
    data, words = backup_words(backup)
    header = data[:BACKUP_HEADER]
    # The first record of the table: find transducer 1 (index byte 1, selection type 2).
    at = next(i for i in range(130, 4000) if words[i] == 0x0201 and words[i + 27] == 0xD6D8)
    words[at + 1:at + 5] = [0, 0, 0, 0xC014]  # range -5.0 (little-endian double)
    write_backup(backup, header, words)
    r = run("db", "0", "restore", backup, env=env)
    check("a backup whose database the check refuses is not restored without --force",
          r.returncode == 1 and "inconsistent" in r.stderr and "nothing was written" in r.stderr, r)
    r = run("db", "0", "restore", backup, "--force", env=env)
    r = run("db", "0", "check", env=env)
    check("db check flags a record whose range the shared check refuses",
          r.returncode == 1 and "range: expected a number above 0" in r.stdout, r)


def database_indexes(env):
    r = run("db", "0", "list", "--json", env=env)
    import json
    try:
        return sorted(t["index"] for t in json.loads(r.stdout)["transducers"])
    except (ValueError, KeyError):
        return None


def test_parallel_changes(work_root):
    """Two tool processes change one board's database at once; each trial starts from the
    factory state in a state file of its own."""
    counts = {"adds": 0, "add_delete": 0}
    for trial in range(TRIALS):
        work = tempfile.mkdtemp(dir=work_root)
        env = shared(work)
        a = start("db", "0", "add", "20", "5", "40", "3000", "3", "350", env=env)
        b = start("db", "0", "add", "21", "5", "40", "3000", "3", "350", env=env)
        ra, rb = finish(a), finish(b)
        check_r = run("db", "0", "check", env=env)
        if (ra.returncode == 0 and rb.returncode == 0 and check_r.returncode == 0 and
                database_indexes(env) == [1, 5, 12, 20, 21]):
            counts["adds"] += 1
        a = start("db", "0", "add", "22", "5", "40", "3000", "3", "350", env=env)
        b = start("db", "0", "delete", "12", env=env)
        ra, rb = finish(a), finish(b)
        check_r = run("db", "0", "check", env=env)
        if (ra.returncode == 0 and rb.returncode == 0 and check_r.returncode == 0 and
                database_indexes(env) == [1, 5, 20, 21, 22]):
            counts["add_delete"] += 1
    print(f"  parallel adds: {counts['adds']} of {TRIALS} trials kept both; add with delete: "
          f"{counts['add_delete']} of {TRIALS} consistent with both changes")
    check("two parallel adds keep both in every trial", counts["adds"] == TRIALS)
    check("an add with a parallel delete keeps both changes in every trial",
          counts["add_delete"] == TRIALS)


def test_failed_save(work):
    env = shared(work)
    os.makedirs(os.path.join(work, "state.lock"))  # the state file's lock cannot be taken
    r = run("db", "0", "add", "20", "5", "40", "3000", "3", "350", env=env)
    check("a database change whose save fails exits non-zero", r.returncode not in (0, None), r)


# ---- paths -----------------------------------------------------------------------------------

def test_state_file_paths(work):
    env = shared(work)
    state = os.path.join(work, "state")
    r = run("outputs", "0", "on", "0x01", env=env)  # the state file exists from here on
    before = open(state, "rb").read()
    os.link(state, os.path.join(work, "hard-link"))
    for name, args in [
            ("db backup FILE", ["db", "0", "backup", state]),
            ("db backup a hard link of it", ["db", "0", "backup", os.path.join(work, "hard-link")]),
            ("db backup its lock", ["db", "0", "backup", state + ".lock"]),
            ("db add --backup", ["db", "0", "add", "20", "5", "40", "3000", "3", "350",
                                 "--backup", state]),
            ("acquire --csv", ["acquire", "0", "0:1", "--csv", state]),
            ("acquire --csv its lock, by a relative path",
             ["acquire", "0", "0:1", "--csv", os.path.relpath(state + ".lock")])]:
        r = run(*args, env=env)
        check(f"{name} naming the simulated boards' state file is refused, the file unchanged",
              r.returncode == 1 and "state file" in r.stderr and
              open(state, "rb").read() == before, r)
    r = run("db", "0", "list", env=env)
    check("the database is unchanged after the refused add", "20" not in r.stdout.split(), r)


# ---- standard descriptors and messages -------------------------------------------------------

def test_closed_descriptors(work):
    env = shared(work)
    r = subprocess.run(["sh", "-c", f'exec 1>&- 2>&-; exec "{TOOL}" db 0 add 20 5 40 3000 3 350'],
                       env=env, capture_output=True, text=True, timeout=60)
    files = {name: os.path.getsize(os.path.join(work, name)) for name in os.listdir(work)
             if name.endswith("lock")}
    check("with stdout and stderr closed an add succeeds (its text goes nowhere) and no lock "
          "file receives it",
          r.returncode == 0 and files and all(size == 0 for size in files.values()) and
          20 in (database_indexes(env) or []),
          subprocess.CompletedProcess(r.args, r.returncode, str(files), r.stderr))

    env = {k: v for k, v in os.environ.items() if k not in ("HOME", "XDG_STATE_HOME")}
    env["QMD5820_SIM_STATE"] = "off"
    r = run("db", "0", "add", "20", "5", "40", "3000", "3", "350", env=env)
    check("without HOME the message names HOME, not QMD5820_SIM_STATE",
          r.returncode == 1 and "HOME" in r.stderr and "QMD5820_SIM_STATE" not in r.stderr, r)


def main():
    os.environ["QMD5820_SIM_STATE"] = "off"
    with tempfile.TemporaryDirectory() as root:
        os.environ["XDG_STATE_HOME"] = os.path.join(root, "xdg")
        test_breaks()
        for test in (test_recorder, test_database_values, test_parallel_changes, test_failed_save,
                     test_state_file_paths, test_closed_descriptors):
            work = tempfile.mkdtemp(dir=root)
            cwd = os.getcwd()
            os.chdir(work)
            try:
                test(work)
            finally:
                os.chdir(cwd)
    print(f"{RESULTS['passed']} passed, {RESULTS['failed']} failed")
    return 1 if RESULTS["failed"] else 0


if __name__ == "__main__":
    sys.exit(main())
