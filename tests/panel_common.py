"""Starting and stopping `qmd5820 panel` for the panel's process and browser tests."""
import atexit
import json
import os
import re
import signal
import subprocess
import tempfile
import time
import urllib.request


RUNNING = []


@atexit.register
def _end_left_panels():
    """A test that failed half-way leaves no panel running."""
    for panel in RUNNING:
        if panel.proc.poll() is None:
            panel.proc.kill()
            panel.proc.wait()


class PanelProcess:
    """`qmd5820 [before...] panel --no-browser [args...]` on a state file of its own."""

    def __init__(self, tool, *args, before=(), state=None):
        self.tool = tool
        self.dir = tempfile.mkdtemp(prefix="qmd5820-panel-")
        self.env = dict(os.environ, QMD5820_SIM_STATE=state or os.path.join(self.dir, "state"))
        self.proc = subprocess.Popen([tool, *before, "panel", "--no-browser", "--listen",
                                      "127.0.0.1:0", *args], stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, text=True, env=self.env)
        RUNNING.append(self)
        line = self.proc.stdout.readline()
        match = re.search(r"(http://[^ ]+/\?token=([0-9a-zA-Z_.~-]+))", line)
        if not match:
            self.proc.kill()
            raise RuntimeError("the panel printed no address: %r %r" % (line, self.proc.stderr.read()))
        self.url, self.token = match.group(1), match.group(2)
        self.base = self.url.split("/?")[0]

    def request(self, method, path, body=None, headers=None, raw=None):
        """(status, parsed JSON or bytes) of a request with the token."""
        data = raw if raw is not None else (json.dumps(body).encode() if body is not None else
                                            (b"{}" if method == "POST" else None))
        request = urllib.request.Request(self.base + path, data=data, method=method)
        request.add_header("X-Panel-Token", self.token)
        for name, value in (headers or {}).items():
            request.add_header(name, value)
        try:
            with urllib.request.urlopen(request, timeout=30) as response:
                content = response.read()
                status = response.status
        except urllib.error.HTTPError as e:
            content, status = e.read(), e.code
        try:
            return status, json.loads(content)
        except ValueError:
            return status, content

    def snapshot(self, board=0, until=None, limit=200):
        """The next snapshot of the board's stream (the first that `until` accepts)."""
        request = urllib.request.Request("%s/api/board/%d/live?token=%s" % (self.base, board, self.token))
        with urllib.request.urlopen(request, timeout=30) as response:
            for _ in range(limit):
                line = response.readline().decode()
                while line and not line.startswith("data: "):
                    line = response.readline().decode()
                event = json.loads(line[6:])
                if until is None or until(event):
                    return event
        return None

    def stop(self, sig=signal.SIGTERM, timeout=30):
        """Sends `sig`; the exit status and what the panel printed."""
        self.proc.send_signal(sig)
        try:
            out, err = self.proc.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            out, err = self.proc.communicate()
            return None, out, err
        return self.proc.returncode, out, err

    def tool_run(self, *args):
        """The tool on the same simulated boards (after the panel has stopped)."""
        return subprocess.run([self.tool, *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              text=True, env=self.env, timeout=60)


class Results:
    def __init__(self):
        self.passed = 0
        self.failed = 0

    def check(self, ok, what):
        if ok:
            self.passed += 1
        else:
            self.failed += 1
            print("FAILED:", what, flush=True)
        return ok

    def done(self):
        print("%d passed, %d failed" % (self.passed, self.failed))
        return 0 if self.failed == 0 else 1


def wait_for(predicate, timeout=20.0, step=0.05):
    """Polls `predicate` until it is true (returned) or the time is up (None)."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(step)
    return None
