"""The live bench as its users meet it: qx470-record --serve, the page in headless Chromium.

Usage: check_live_page.py PATH_TO_QX470_RECORD
Draws the traces, compares the readouts with the samples in the file, marks with the button and
the M key, switches the shunt and auto-zeroes (each in the EDF+ as an event), refuses requests
without the token, and shows that four pages and a browser stopped for 20 s cost the recording
nothing (every sample right against the simulator's test pattern).
"""
import json
import os
import re
import signal
import subprocess
import sys
import tempfile
import time
import traceback
import urllib.error
import urllib.request

import numpy as np
from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By

RECORDER = sys.argv[1] if len(sys.argv) > 1 else "qx470-record"


def wait_for(pred, seconds=60, what="condition"):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        value = pred()
        if value:
            return value
        time.sleep(0.1)
    raise AssertionError(f"timed out waiting for {what}")


class Recorder:
    """qx470-record with --serve on a free port; its URL read from what it says."""

    def __init__(self, tmp, args, env_extra=None):
        env = {k: v for k, v in os.environ.items() if not k.startswith("QXSIM_")}
        env.update(env_extra or {})
        self.err_path = os.path.join(tmp, "stderr.txt")
        self.err = open(self.err_path, "w")
        self.proc = subprocess.Popen([RECORDER, "--serve", "0", "-q", *args], env=env,
                                     stdout=subprocess.DEVNULL, stderr=self.err)
        self.url = wait_for(self._url, 60, "the live bench's URL")

    def _url(self):
        with open(self.err_path) as f:
            m = re.search(r"live bench at (http://\S+)", f.read())
        return m.group(1) if m else None

    def api(self, path, method="GET", token=True):
        base = self.url.split("/?")[0]
        tok = self.url.split("token=")[1]
        sep = "&" if "?" in path else "?"
        req = urllib.request.Request(base + path + (sep + "token=" + tok if token else ""),
                                     method=method, data=b"" if method == "POST" else None)
        with urllib.request.urlopen(req, timeout=10) as r:
            return json.load(r)

    def finish(self, timeout=120):
        """Ends an open-ended recording as Ctrl-C does, and waits for the program."""
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGINT)
        code = self.proc.wait(timeout=timeout)
        self.err.close()
        with open(self.err_path) as f:
            return code, f.read()


def browser():
    opts = webdriver.ChromeOptions()
    opts.binary_location = "/usr/bin/chromium"
    for flag in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                 "--no-first-run", "--disable-background-networking", "--disable-sync",
                 "--disable-component-update", "--disable-features=MediaRouter",
                 "--window-size=1200,1000"):
        opts.add_argument(flag)
    opts.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=opts)


def frames(driver):
    return driver.execute_script("return window.qxLive ? window.qxLive.frames : 0")


def js_errors(driver):
    return [e for e in driver.get_log("browser") if e["level"] == "SEVERE"]


def test_page_draws_reads_out_and_marks():
    import mne
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "run.edf")
        # Open-ended, so that a busy machine cannot end it before every step is through.
        rec = Recorder(tmp, ["-r", "1=100,2=10", "-o", out])
        driver = browser()
        try:
            driver.get(rec.url)
            wait_for(lambda: frames(driver) >= 10, 60, "ten frames drawn")
            for ch in ("ch1", "ch2"):
                assert driver.find_element(By.ID, ch).find_element(By.TAG_NAME, "canvas")
            status = driver.find_element(By.ID, "status-device").text
            assert "simulated" in status, status
            # Marks: the key M and the button, then the device's own changes.
            driver.find_element(By.TAG_NAME, "body").send_keys("m")
            wait_for(lambda: rec.api("/api/status")["events"] >= 1, 20, "the first mark")
            driver.find_element(By.ID, "mark").click()
            wait_for(lambda: rec.api("/api/status")["events"] >= 2, 20, "the second mark")
            driver.find_element(By.ID, "shunt").click()
            wait_for(lambda: rec.api("/api/status")["shunt"], 20, "the shunt on")
            driver.find_element(By.ID, "shunt").click()
            wait_for(lambda: not rec.api("/api/status")["shunt"], 20, "the shunt off")
            driver.find_element(By.ID, "autozero").click()
            wait_for(lambda: rec.api("/api/status")["events"] >= 5, 20, "auto-zero's event")
            # A frame and the readouts drawn from it, taken at once, kept to compare with the file.
            header, readout = driver.execute_script(
                "return [window.qxLive.lastHeader,"
                " document.querySelector('#ch1 .max').getAttribute('data-volts')]")
            shown = {c["channel"]: c for c in header["channels"]}
            assert abs(float(readout) - shown[1]["stats"]["max"]) < 1e-6, (readout, shown[1])
            assert not js_errors(driver), js_errors(driver)
        finally:
            driver.quit()
        code, err = rec.finish()
        assert code == 0, err
        raw = mne.io.read_raw_edf(out, include=["Ch1"], preload=True, verbose="error")
        texts = list(raw.annotations.description)
        for want in ("mark 1", "mark 2", "shunt on", "shunt off", "auto-zero"):
            assert want in texts, texts
        # The readouts are those of the samples the file holds over the same columns.
        c = shown[1]
        first = int(round(c["t0"] * c["rate"]))
        last = first + int(round(c["columns"] * c["dt"] * c["rate"]))
        data = raw.get_data()[0][max(first, 0):last]
        assert abs(data.min() - c["stats"]["min"]) < 1e-3, (data.min(), c["stats"])
        assert abs(data.max() - c["stats"]["max"]) < 1e-3, (data.max(), c["stats"])
        assert abs(data.mean() - c["stats"]["mean"]) < 1e-3, (data.mean(), c["stats"])


def test_requests_without_the_token_are_refused():
    with tempfile.TemporaryDirectory() as tmp:
        rec = Recorder(tmp, ["-r", "1=10"])  # the view alone, until Ctrl-C
        for path, method in (("/api/status", "GET"), ("/api/shunt?on=1", "POST"),
                             ("/api/mark", "POST")):
            try:
                rec.api(path, method, token=False)
                raise AssertionError(path + " answered without the token")
            except urllib.error.HTTPError as e:
                assert e.code == 403, (path, e.code)
        assert rec.api("/api/status")["state"] in ("viewing", "starting")
        code, err = rec.finish()
        assert code == 0, err
        # With no file, the summary names none.
        assert " viewed, Ch1 " in err and "MB to" not in err and "files are" not in err, err


def descendants(pid):
    """Every process below `pid`, from each process's parent in /proc (not every kernel keeps
    the list of children)."""
    parent = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as f:
                stat = f.read()
        except OSError:
            continue
        # The name in parentheses may hold spaces: the fields after its last ')' are fixed.
        parent[int(entry)] = int(stat.rsplit(")", 1)[1].split()[1])
    found, todo = [], [pid]
    while todo:
        p = todo.pop()
        kids = [c for c, pp in parent.items() if pp == p]
        found += kids
        todo += kids
    return found


def pattern(channel, n):
    return ((n * 4 + channel) * 40503 + 12345) & 0xFFFF


def test_four_pages_and_a_stopped_browser_cost_nothing():
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "run.dat")
        rec = Recorder(tmp, ["-r", "1=100,2=100,3=100,4=100", "-o", out], {"QXSIM_SIGNAL": "1"})
        driver = browser()
        try:
            driver.get(rec.url)
            for _ in range(3):
                driver.switch_to.new_window("tab")
                driver.get(rec.url)
            wait_for(lambda: frames(driver) >= 5, 60, "frames in the last page")
            # The browser and everything it started, stopped as a hung machine would stop it.
            stopped = descendants(driver.service.process.pid)
            assert stopped, "no browser process found"
            for p in stopped:
                os.kill(p, signal.SIGSTOP)
            time.sleep(20)
            for p in stopped:
                os.kill(p, signal.SIGCONT)
            seen = frames(driver)
            wait_for(lambda: frames(driver) > seen, 60, "frames after the stop")
        finally:
            driver.quit()
        code, err = rec.finish()
        assert code == 0, err
        with open(os.path.join(tmp, "run.json")) as f:
            meta = json.load(f)
        assert meta["gaps"] == [], meta
        frames_ = np.fromfile(out, dtype=meta["dtype"]).reshape(-1, 4)
        assert frames_.shape[0] >= 2_000_000, frames_.shape  # the stop alone was 20 s
        for k in range(4):
            # The stream's first frame was primed away: find where the pattern starts.
            start = next(p for p in range(16) if (pattern(k, p) - 32768) == int(frames_[0, k]))
            n = np.arange(frames_.shape[0], dtype=np.int64) + start
            want = (pattern(k, n) - 32768).astype(np.int16)
            assert np.count_nonzero(frames_[:, k] != want) == 0, f"Ch{k + 1}: wrong samples"


def main():
    tests = [v for k, v in sorted(globals().items()) if k.startswith("test_")]
    only = os.environ.get("QX470_LIVE_TEST")
    passed = failed = 0
    for t in tests:
        if only and only not in t.__name__:
            continue
        try:
            t()
            passed += 1
            print("PASS", t.__name__, flush=True)
        except Exception:
            failed += 1
            print("FAIL", t.__name__, flush=True)
            traceback.print_exc()
    print(f"{passed} passed, {failed} failed")
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
