#!/usr/bin/python3
"""How far ahead of the device qx470usb.record() keeps up, beside the C++ reader in the same run.

    bench/python_record_bench.py [BUILD_DIR] [SECONDS] [FACTOR ...]

For each simulator speed factor, record() takes SECONDS of signal (default 60) of all four
channels at 100 kS/s; a run counts when no sample was lost (no gap, no word dropped by the
simulated bridge) and 1000 samples spread over each channel match the test pattern. Then the C++
read-only loop of bench/record_bench runs the same factors. BUILD_DIR is a Release build with
the benchmarks (scripts/bench.sh makes build-bench).
"""

import ctypes
import os
import re
import subprocess
import sys
import time

import numpy as np

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build-bench")
    seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 60.0
    factors = [float(f) for f in sys.argv[3:]] or [10, 20, 50, 100, 200, 400]
    os.environ["QX470USB_LIBRARY"] = os.path.join(build, "lib", "libQX470USB.so")
    sys.path.insert(0, os.path.join(ROOT, "python"))
    import qx470usb

    qx470usb.lib.load()
    sim = ctypes.CDLL("libqx470usb_bridge.so.1")
    sim.qxsim_set_speed.argtypes = [ctypes.c_double]
    sim.qxsim_pattern_value.restype = ctypes.c_uint
    sim.qxsim_lost_words.restype = ctypes.c_ulonglong
    rng = np.random.default_rng(1)

    print("record(): %g s of signal per run, all four channels at 100 kS/s" % seconds)
    print("%8s | %10s | %10s | %7s | %8s" % ("speed", "lost", "dropped", "wrong", "wall s"))
    best_python = 0.0
    for f in factors:
        sim.qxsim_reset()
        sim.qxsim_set_signal(1)
        sim.qxsim_set_speed(f)
        t0 = time.monotonic()
        rec = qx470usb.record({1: 100, 2: 100, 3: 100, 4: 100}, seconds=seconds)
        wall = time.monotonic() - t0
        lost = sum(g.count for g in rec.gaps)
        dropped = sim.qxsim_lost_words()
        wrong = 0
        for ch in range(1, 5):
            codes = rec.codes[ch]
            # Priming discards three frames: the recording starts at the pattern's sample 3.
            for i in rng.integers(0, len(codes), 1000):
                if codes[i] != sim.qxsim_pattern_value(ch - 1, 3 + int(i)):
                    wrong += 1
        print("%8g | %10d | %10d | %7d | %8.2f" % (f, lost, dropped, wrong, wall), flush=True)
        if lost == 0 and dropped == 0 and wrong == 0:
            best_python = max(best_python, f)

    bench = os.path.join(build, "bench", "qx470_record_bench")
    out = subprocess.run([bench, "speed", "%g" % seconds] + ["%g" % f for f in factors],
                         capture_output=True, text=True, check=True).stdout
    print(out, end="")
    m = re.search(r"read only (\d+)", out)
    best_cpp = float(m.group(1)) if m else 0.0
    print("highest speed without a lost or wrong sample: record() %g, C++ reader %g (%.2f of it)"
          % (best_python, best_cpp, best_python / best_cpp if best_cpp else 0.0))


if __name__ == "__main__":
    main()
