"""What the live bench costs and delivers, measured against a recording without it in one run.

Usage: bench/live_bench.py PATH_TO_QX470_RECORD [SECONDS] [ROUNDS]
Records 4 x 100 kS/s to a raw file for SECONDS (default 20) three ways: without the bench, with
the bench served and no page, and with one page open in headless Chromium, ROUNDS times each
(default 3). Prints the recorder's median CPU time in each (as a share of a core and as a ratio
to the first), the frames a second the page drew over the middle of the run, how long after the
newest samples reached the recorder their frame was drawn (median, 95th percentile, largest) and
how long the page took to decode and draw a frame, and the recorder's largest RSS.
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
ROUNDS = int(sys.argv[3]) if len(sys.argv) > 3 else 3


def run(tmp, serve, page):
    tmp = tempfile.mkdtemp(dir=tmp)  # each run its own files: the recorder keeps existing ones
    out = os.path.join(tmp, "run.dat")
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
    draws = []
    try:
        if page:
            url = None
            while url is None and proc.poll() is None:
                with open(err_path) as f:
                    m = re.search(r"live bench at (http://\S+)", f.read())
                url = m.group(1) if m else None
                time.sleep(0.05)
            if url is None:
                with open(err_path) as f:
                    raise RuntimeError("the recorder ended before serving: " + f.read())
            driver = browser()
            driver.get(url)
            # The middle of the run: after the page settled, before the end.
            time.sleep(SECONDS * 0.25)
            t0, f0 = time.monotonic(), frames(driver)
            time.sleep(SECONDS * 0.5)
            drawn = [(time.monotonic() - t0), frames(driver) - f0]
            lags = driver.execute_script("return window.qxLive.lags")
            draws = driver.execute_script("return window.qxLive.draws")
        _, status, usage = os.wait4(proc.pid, 0)
    finally:
        if driver:
            driver.quit()
    code = os.waitstatus_to_exitcode(status)
    cpu = usage.ru_utime + usage.ru_stime
    with open(err_path) as f:
        said = f.read()
    return code, cpu, drawn, lags, draws, said, usage.ru_maxrss / 1024


def main():
    # The three ways interleaved, several rounds, medians kept: one run's CPU time swings with
    # whatever else the machine does.
    names = ("recording alone", "with the bench, no page", "with one page in Chromium")
    ways = ((False, False), (True, False), (True, True))
    runs = {name: [] for name in names}
    with tempfile.TemporaryDirectory() as tmp:
        for _ in range(ROUNDS):
            for name, (serve, page) in zip(names, ways):
                runs[name].append(run(tmp, serve, page))
    for name in names:
        for code, _, _, _, _, said, _ in runs[name]:
            if code != 0:
                print(f"{name}: exit {code}\n    " + said.strip().replace("\n", "\n    "))
    cpu = {name: float(np.median([r[1] for r in runs[name]])) for name in names}
    rss = {name: float(np.median([r[6] for r in runs[name]])) for name in names}
    base = cpu[names[0]]
    print(f"4 x 100 kS/s for {SECONDS:g} s to a raw file, {ROUNDS} rounds;"
          " the recorder's CPU time and largest RSS (medians):")
    for name in names:
        share = cpu[name] / SECONDS * 100
        print(f"  {name:28s} {cpu[name]:6.2f} s  {share:5.1f} % of a core"
              f"  ratio {cpu[name] / base:5.2f}  ({share - base / SECONDS * 100:+4.1f} points)"
              f"  RSS {rss[name]:6.1f} MB")
    paged = runs[names[2]]
    rates = [r[2][1] / r[2][0] for r in paged if r[2]]
    if rates:
        print(f"frames drawn by the page: {np.median(rates):.1f} a second")
    lags = np.concatenate([np.array(r[3], dtype=float) for r in paged]) * 1000
    if lags.size:
        print(f"newest samples to their frame drawn: median {np.median(lags):.0f} ms, "
              f"95th percentile {np.percentile(lags, 95):.0f} ms, largest {lags.max():.0f} ms "
              f"({lags.size} frames)")
    draws = np.concatenate([np.array(r[4], dtype=float) for r in paged])
    if draws.size:
        print(f"each frame decoded and drawn in: median {np.median(draws):.1f} ms, "
              f"95th percentile {np.percentile(draws, 95):.1f} ms")


if __name__ == "__main__":
    main()
