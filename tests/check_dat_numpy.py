"""qx470-record's raw .dat files and their JSON sidecar, read the way a numpy user reads them.

Usage: check_dat_numpy.py PATH_TO_QX470_RECORD
Records two rates into .dat files under the simulator's test pattern and checks every sample.
"""
import json
import os
import subprocess
import sys
import tempfile

import numpy as np


def pattern(channel, n):
    return ((n * 4 + channel) * 40503 + 12345) & 0xFFFF


def main():
    recorder = sys.argv[1]
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "run.dat")
        env = {k: v for k, v in os.environ.items() if not k.startswith("QXSIM_")}
        env["QXSIM_SIGNAL"] = "1"
        done = subprocess.run([recorder, "-r", "1=100,2=20,4=100", "-n", "150000", "-o", out],
                              env=env, capture_output=True, text=True, timeout=300)
        assert done.returncode == 0, done.stderr
        with open(os.path.join(tmp, "run.json")) as f:
            meta = json.load(f)
        assert meta["complete"] is True
        assert meta["gaps"] == []
        assert meta["volts_per_count"] == 312500e-9
        # Frame of ticks lcm(1, 5) = 5: channels 1 and 4 five slots each, channel 2 one; priming
        # discards one frame of 11 words.
        primed = {"Ch1": 5, "Ch2": 1, "Ch4": 5}
        lib_channel = {"Ch1": 0, "Ch2": 1, "Ch4": 3}
        expected_frames = {100000: 150000, 20000: 30000}
        for group in meta["files"]:
            data = np.memmap(os.path.join(tmp, group["file"]), dtype=meta["dtype"], mode="r")
            frames = data.reshape(-1, len(group["channels"]))
            assert frames.shape[0] == group["frames"] == expected_frames[group["rate"]], group
            for k, label in enumerate(group["channels"]):
                n = np.arange(frames.shape[0], dtype=np.int64) + primed[label]
                want = (pattern(lib_channel[label], n) - 32768).astype(np.int16)
                bad = np.count_nonzero(frames[:, k] != want)
                assert bad == 0, f"{label}: {bad} wrong samples"
                volts = frames[:, k] * meta["volts_per_count"]
                assert abs(volts).max() <= 32768 * 312500e-9
        print("1 passed, 0 failed")


if __name__ == "__main__":
    main()
