#!/usr/bin/env python3
"""The test panel in a real browser (headless Chromium through Selenium) on the simulated
boards, page by page: values move when the simulated position moves, an output toggled in
the page is set on the board, a transducer type added with its backup, an acquisition
recorded and downloaded, a calibration by the wizard (both procedures) with the readings
after within 0.1 % of the range, a Break that restores. Screenshots of each page go to
--shots (default: a temporary directory, never the source tree).
Usage: panel_browser_test.py QMD5820 [--shots DIR]"""
import os
import re
import signal
import sys
import tempfile
import time

from selenium import webdriver
from selenium.webdriver.chrome.options import Options
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import Select

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from panel_common import PanelProcess, Results, wait_for  # noqa: E402

TOOL = sys.argv[1]
SHOTS = sys.argv[sys.argv.index("--shots") + 1] if "--shots" in sys.argv else tempfile.mkdtemp(prefix="qmd5820-shots-")
os.makedirs(SHOTS, exist_ok=True)
R = Results()


def browser():
    options = Options()
    for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--window-size=1280,1100"):
        options.add_argument(argument)
    return webdriver.Chrome(options=options)


class Page:
    def __init__(self, driver, panel):
        self.d, self.panel = driver, panel
        driver.get(panel.url)
        wait_for(lambda: self.text("state") == "live")

    def el(self, id_):
        return self.d.find_element(By.ID, id_)

    def text(self, id_):
        return self.el(id_).text

    def tab(self, name):
        self.d.find_element(By.CSS_SELECTOR, "button[data-page=%s]" % name).click()
        time.sleep(0.3)

    def shot(self, name):
        self.d.save_screenshot(os.path.join(SHOTS, name + ".png"))

    def value(self, channel):
        text = self.d.find_element(By.CSS_SELECTOR, "#ch-%d .value" % channel).text
        try:
            return float(text)
        except ValueError:
            return None


def live_pages(driver):
    panel = PanelProcess(TOOL)
    page = Page(driver, panel)
    R.check(page.text("state") == "live", "the page connects to the live stream")
    rows = driver.find_elements(By.CSS_SELECTOR, "#boards-table tbody tr")
    R.check(len(rows) == 2 and "QMD5820-DEMO-0" in rows[0].text, "both boards listed: %r" % [r.text for r in rows])
    page.el("line-test").click()
    R.check(wait_for(lambda: "no short circuit" in page.text("line-status")), "the line test reports")
    page.shot("boards")

    # Channels: two types assigned; the values follow the simulated positions.
    page.tab("channels")
    Select(driver.find_element(By.CSS_SELECTOR, "#ch-0 select")).select_by_value("1")
    Select(driver.find_element(By.CSS_SELECTOR, "#ch-1 select")).select_by_value("5")
    for position in (1.25, -0.5):
        panel.request("POST", "/api/sim/board/0/position", {"channel": 0, "position": position})
        R.check(wait_for(lambda: page.value(0) is not None and abs(page.value(0) - position) < 0.001),
                "channel 0 shows %g: %s" % (position, page.value(0)))
    R.check(wait_for(lambda: (m := re.match(r"(\d+) refreshes/s", page.text("rate"))) and int(m.group(1)) >= 20),
            "at least 20 refreshes a second: %r" % page.text("rate"))
    # The simulated board's slider moves channel 1 through the page itself.
    page.tab("simulator")
    slider = wait_for(lambda: driver.find_elements(By.ID, "sim-pos-1"))[0]
    driver.execute_script("arguments[0].value = 7.5; arguments[0].dispatchEvent(new Event('input'));", slider)
    page.el("sim-short").click()
    page.shot("simulator")
    page.tab("boards")
    page.el("line-test").click()
    R.check(wait_for(lambda: "SHORT CIRCUIT" in page.text("line-status")), "the injected short circuit is seen")
    page.el("line-rearm").click()
    R.check(wait_for(lambda: "no short circuit" in page.text("line-status")), "a rearm clears it")
    page.tab("channels")
    R.check(wait_for(lambda: page.value(1) is not None and abs(page.value(1) - 7.5) < 0.001),
            "the slider moved channel 1: %s" % page.value(1))
    panel.request("POST", "/api/sim/board/0/position", {"channel": 0, "position": 5.0})  # beyond ±2
    R.check(wait_for(lambda: "OVER RANGE" in driver.find_element(By.CSS_SELECTOR, "#ch-0 .flag").text),
            "over-range shown")
    page.el("show-raw").click()
    R.check(wait_for(lambda: driver.find_element(By.CSS_SELECTOR, "#ch-1 .raw-col").text.startswith("0x")),
            "raw codes shown on request")
    time.sleep(1.0)
    page.shot("channels")

    # Digital I/O: output 3 toggled in the page; the inputs live.
    page.tab("io")
    panel.request("POST", "/api/board/0/outputs", {"mask": 0, "on": True})
    wait_for(lambda: driver.find_elements(By.ID, "outputs-3"))
    page.el("outputs-3").click()
    R.check(wait_for(lambda: "on" in page.el("outputs-3").get_attribute("class")), "output 3 shows on")
    page.el("timer-start").click()
    R.check(wait_for(lambda: int(page.text("timer-count") or 0) > 3), "timer interrupts counted live")
    page.el("timer-stop").click()
    page.shot("io")

    # Database: type 9 added after its settings were shown; the backup downloaded.
    page.tab("database")
    R.check(wait_for(lambda: len(driver.find_elements(By.CSS_SELECTOR, "#db-table tbody tr")) == 3), "three types listed")
    page.el("db-preview").click()
    R.check(wait_for(lambda: "field" in page.text("db-preview-result")), "settings shown before writing")
    page.el("db-add-confirm").click()
    R.check(wait_for(lambda: len(driver.find_elements(By.CSS_SELECTOR, "#db-table tbody tr")) == 4), "type 9 added")
    link = wait_for(lambda: page.el("db-backup-link").get_attribute("href") if page.el("db-backup-link").is_displayed() else None)
    R.check(link is not None, "the backup is offered")
    status, backup = panel.request("GET", link.split(panel.base)[1].split("?")[0])
    R.check(status == 200 and backup[:8] == b"QMD5820E", "the backup downloads: %s" % status)
    page.el("db-check").click()
    R.check(wait_for(lambda: "consistent" in page.text("db-check-result")), "db check shown")
    page.shot("database")

    # Acquisition: recorded, stopped, downloaded; the rows of qmd5820 acquire.
    page.tab("acquisition")
    page.el("acq-start").click()
    R.check(wait_for(lambda: "running" in page.text("acq-status")), "acquisition running")
    R.check(wait_for(lambda: (m := re.search(r"(\d+) sequences recorded", page.text("acq-status"))) and int(m.group(1)) > 500),
            "sequences arrive: %r" % page.text("acq-status"))
    page.shot("acquisition")
    page.el("acq-stop").click()
    href = wait_for(lambda: page.el("acq-download").get_attribute("href") if page.el("acq-download").is_displayed() else None)
    status, csv = panel.request("GET", href.split(panel.base)[1].split("?")[0])
    lines = csv.decode().splitlines() if isinstance(csv, bytes) else []
    R.check(status == 200 and lines[0] == "sequence,arrival/s,ch0/mm,ch1/mm", "CSV header: %r" % lines[:1])
    R.check([int(l.split(",")[0]) for l in lines[1:]] == list(range(1, len(lines))), "every sequence once, in order")
    status, out, err = panel.stop()
    R.check(status == 0, "panel stopped: %r" % err)
    R.check("0x08" in panel.tool_run("outputs", "0").stdout, "output 3 is set on the board")
    R.check(" 9 " in " ".join(panel.tool_run("db", "0", "list").stdout.split("\n")), "type 9 is in the board's database")


def readings(driver):
    # The table is redrawn with every snapshot: read it in one go.
    return driver.execute_script(
        "return [...document.querySelectorAll('#cal-readings tbody tr')]"
        ".map((r) => [...r.cells].map((c) => c.textContent));")


def calibration(driver, procedure, model="0"):
    # The virtual clock: the calibration's waits take no real time.
    panel = PanelProcess(TOOL, before=("--virtual-clock",))
    page = Page(driver, panel)
    page.tab("calibration")
    Select(driver.find_element(By.NAME, "procedure")).select_by_value(procedure)
    Select(driver.find_element(By.NAME, "model")).select_by_value(model)
    page.el("cal-start").click()
    deadline = time.monotonic() + 120
    confirmations = 0
    while time.monotonic() < deadline and "done" not in page.text("cal-status") and "failed" not in page.text("cal-status"):
        if page.el("cal-continue").is_enabled() and page.text("cal-instruction"):
            confirmations += 1
            page.el("cal-continue").click()
        time.sleep(0.1)
    page.shot("calibration-%s-%s" % (procedure, model))
    R.check("done" in page.text("cal-status"), "%s calibration done: %r" % (procedure, page.text("cal-status")))
    R.check(confirmations >= 2, "%s: the operator confirmed %d waits" % (procedure, confirmations))
    table = wait_for(lambda: (t := readings(driver)) and all(r[2] for r in t) and t)
    errors = [abs(float(r[3])) for r in table or [] if r[3]]
    R.check(len(errors) == 4 and max(errors) <= 0.1, "%s: readings after within 0.1 %% of range: %r" % (procedure, table))
    panel.stop()


def break_restores(driver):
    panel = PanelProcess(TOOL, before=("--virtual-clock",))
    before = os.path.join(panel.dir, "before.eeprom")
    after = os.path.join(panel.dir, "after.eeprom")
    page = Page(driver, panel)
    page.tab("calibration")
    page.el("cal-start").click()
    R.check(wait_for(lambda: page.text("cal-instruction"), timeout=60), "the worker waits")
    page.el("cal-break").click()
    R.check(wait_for(lambda: "back as the run found it" in page.text("message")), "Break reports the restore: %r" % page.text("message"))
    page.shot("calibration-break")
    panel.stop()
    panel.tool_run("db", "0", "backup", after)
    fresh = PanelProcess(TOOL)
    fresh.stop()
    fresh.tool_run("db", "0", "backup", before)
    with open(before, "rb") as a, open(after, "rb") as b:
        R.check(a.read() == b.read(), "after the Break the EEPROM is as before")


driver = browser()
try:
    live_pages(driver)
    calibration(driver, "worker", "0")
    calibration(driver, "worker", "1")
    calibration(driver, "steps")
    break_restores(driver)
finally:
    driver.quit()
print("screenshots in", SHOTS)
sys.exit(R.done())
