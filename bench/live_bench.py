"""What the live bench costs and delivers, measured against a recording without it in one run.

Usage: bench/live_bench.py PATH_TO_QX470_RECORD [SECONDS]
Records 4 x 100 kS/s to a raw file for SECONDS (default 20) three ways: without the bench, with
the bench served and no page, and with one page open in headless Chromium. Prints the recorder's
CPU time in each (as a share of a core and as a ratio to the first), the frames a second the page
drew over the middle of the run, and how long after the newest samples reached the recorder their
frame was drawn (median, 95th percentile, largest).
"""
import os
import re
import subprocess
import sys
import tempfile
import time

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests"))
from check_live_page import browser, frames  # noqa: E402

RECORDER = sys.argv[1]
SECONDS = float(sys.argv[2]) if len(sys.argv) > 2 else 20.0


def run(tmp, serve, page):
    out = os.path.join(tmp, f"run_{serve}_{page}.dat")
    args = [RECORDER, "-q", "-r", "1=100,2=100,3=100,4=100", "-t", f"{SECONDS:g}s", "-o", out]
    if serve:
        args += ["--serve", "0"]
    env = {k: v for k, v in os.environ.items() if not k.startswith("QXSIM_")}
    err_path = os.path.join(tmp, "err.txt")
    with open(err_path, "w") as err:
        proc = subprocess.Popen(args, env=env, stdout=subprocess.DEVNULL, stderr=err)
    driver = None
    drawn = []
    lags = []
    try:
        if page:
            url = None
            while url is None and proc.poll() is None:
                with open(err_path) as f:
                    m = re.search(r"live bench at (http://\S+)", f.read())
                url = m.group(1) if m else None
                time.sleep(0.05)
            driver = browser()
            driver.get(url)
            # The middle of the run: after the page settled, before the end.
            time.sleep(SECONDS * 0.25)
            t0, f0 = time.monotonic(), frames(driver)
            time.sleep(SECONDS * 0.5)
            drawn = [(time.monotonic() - t0), frames(driver) - f0]
            lags = driver.execute_script("return window.qxLive.lags")
        _, status, usage = os.wait4(proc.pid, 0)
    finally:
        if driver:
            driver.quit()
    code = os.waitstatus_to_exitcode(status)
    cpu = usage.ru_utime + usage.ru_stime
    with open(err_path) as f:
        said = f.read()
    return code, cpu, drawn, lags, said


def main():
    with tempfile.TemporaryDirectory() as tmp:
        rows = [("recording alone", *run(tmp, False, False)),
                ("with the bench, no page", *run(tmp, True, False)),
                ("with one page in Chromium", *run(tmp, True, True))]
    base = rows[0][2]
    print(f"4 x 100 kS/s for {SECONDS:g} s to a raw file; the recorder's CPU time:")
    for name, code, cpu, drawn, lags, said in rows:
        share = cpu / SECONDS * 100
        print(f"  {name:28s} exit {code}  {cpu:6.2f} s  {share:5.1f} % of a core"
              f"  ratio {cpu / base:5.2f}  (+{share - base / SECONDS * 100:4.1f} points)")
        if code != 0:
            print("    " + said.strip().replace("\n", "\n    "))
    _, _, _, drawn, lags, _ = rows[2]
    if drawn:
        print(f"frames drawn by the page: {drawn[1] / drawn[0]:.1f} a second")
    if lags:
        ms = np.array(lags) * 1000
        print(f"newest samples to their frame drawn: median {np.median(ms):.0f} ms, "
              f"95th percentile {np.percentile(ms, 95):.0f} ms, largest {ms.max():.0f} ms "
              f"({len(ms)} frames)")


if __name__ == "__main__":
    main()
