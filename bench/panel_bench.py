#!/usr/bin/env python3
"""Test panel benchmark on the simulated board (not a test: it prints figures).

- refreshes per second reaching a listener with 16 channels read, for 1 and 10 listeners
  (and in headless Chromium, counted by the page itself, when Selenium is there);
- latency from a simulated position change to the first snapshot showing it (median, p99),
  also as a multiple of the sampling period measured in the same run (the baseline);
- the server's CPU time per second with 0, 1, 5 and 10 listeners: per listener above the
  idle baseline of the same run.

Usage: panel_bench.py QMD5820 [--seconds S] [--changes N]"""
import json
import random
import os
import statistics
import sys
import threading
import time
import urllib.request

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
from panel_common import PanelProcess  # noqa: E402

TOOL = sys.argv[1]
SECONDS = float(sys.argv[sys.argv.index("--seconds") + 1]) if "--seconds" in sys.argv else 4.0
CHANGES = int(sys.argv[sys.argv.index("--changes") + 1]) if "--changes" in sys.argv else 200
TICK = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICK


def listen(panel, seconds, counts, index, stop):
    request = urllib.request.Request("%s/api/board/0/live?token=%s" % (panel.base, panel.token))
    end = time.monotonic() + seconds
    n = 0
    with urllib.request.urlopen(request, timeout=30) as response:
        while time.monotonic() < end and not stop.is_set():
            if response.readline().startswith(b"data: "):
                n += 1
    counts[index] = n


def listeners(panel, count, seconds):
    counts = [0] * count
    stop = threading.Event()
    threads = [threading.Thread(target=listen, args=(panel, seconds, counts, i, stop)) for i in range(count)]
    before = cpu_seconds(panel.proc.pid)
    start = time.monotonic()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    elapsed = time.monotonic() - start
    cpu = (cpu_seconds(panel.proc.pid) - before) / elapsed
    return [c / elapsed for c in counts], cpu


def idle_cpu(panel, seconds):
    before = cpu_seconds(panel.proc.pid)
    time.sleep(seconds)
    return (cpu_seconds(panel.proc.pid) - before) / seconds


def latency(panel, changes, period):
    """Seconds from a position change (the request sent) to the first snapshot showing it.
    Each change waits a random part of a period first: changes come at any phase of the
    sampling, as a transducer moves (not right after the snapshot that showed the last)."""
    request = urllib.request.Request("%s/api/board/0/live?token=%s" % (panel.base, panel.token))
    delays = []
    random.seed(1)
    with urllib.request.urlopen(request, timeout=30) as stream:
        for k in range(changes):
            position = 0.5 + (k % 2)  # alternates 0.5 / 1.5 on channel 0 (type 1, range 2)
            time.sleep(random.uniform(0, period))
            sent = time.monotonic()
            panel.request("POST", "/api/sim/board/0/position", {"channel": 0, "position": position})
            while True:
                line = stream.readline()
                if not line.startswith(b"data: "):
                    continue
                event = json.loads(line[6:])
                ch0 = [c for c in event.get("channels", []) if c[0] == 0]
                if ch0 and ch0[0][2] is not None and abs(ch0[0][2] - position) < 1e-3:
                    delays.append(time.monotonic() - sent)
                    break
    return delays


def browser_rate(panel, seconds):
    try:
        from selenium import webdriver
        from selenium.webdriver.chrome.options import Options
    except ImportError:
        return None
    options = Options()
    for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage"):
        options.add_argument(argument)
    driver = webdriver.Chrome(options=options)
    try:
        driver.get(panel.url)
        time.sleep(1.0)
        driver.find_element("css selector", "button[data-page=channels]").click()
        first = driver.execute_script("return window.panel.stats.events")
        time.sleep(seconds)
        last = driver.execute_script("return window.panel.stats.events")
        return (last - first) / seconds
    finally:
        driver.quit()


def main():
    panel = PanelProcess(TOOL)
    try:
        for channel in range(16):
            panel.request("POST", "/api/board/0/channel", {"channel": channel, "transducer": (1, 5, 12)[channel % 3]})
        period = json.loads(urllib.request.urlopen(urllib.request.Request(
            panel.base + "/api/panel", headers={"X-Panel-Token": panel.token})).read())["period_ms"] / 1000.0
        idle = idle_cpu(panel, SECONDS)
        print("sampling period %.0f ms (%.0f snapshots/s): the baseline" % (period * 1000, 1 / period))
        print("server CPU with no listener: %.1f %% of a core" % (100 * idle))
        for count in (1, 5, 10):
            rates, cpu = listeners(panel, count, SECONDS)
            print("%2d listener(s), 16 channels: %.1f refreshes/s each (min %.1f; %.2f of the sampling rate), "
                  "server CPU %.1f %%, %.2f %% per listener above idle"
                  % (count, statistics.mean(rates), min(rates), statistics.mean(rates) * period,
                     100 * cpu, 100 * (cpu - idle) / count))
        delays = sorted(latency(panel, CHANGES, period))
        median = statistics.median(delays)
        p99 = delays[min(len(delays) - 1, int(0.99 * len(delays)))]
        print("position change to the stream, %d changes: median %.1f ms (%.2f periods), p99 %.1f ms (%.2f periods)"
              % (len(delays), 1000 * median, median / period, 1000 * p99, p99 / period))
        rate = browser_rate(panel, SECONDS)
        if rate is not None:
            print("in headless Chromium (the page's own count): %.1f refreshes/s (%.2f of the sampling rate)"
                  % (rate, rate * period))
    finally:
        panel.stop()


main()
