#!/usr/bin/python3
"""Where qx470-record puts events sent at known times, against the simulator in real time.

Usage: scripts/measure_events.py [EVENTS [PER_SECOND]]   (default 1000 events at 100 a second)
Builds nothing: run it after scripts/test.sh or scripts/console.sh. It records Ch1 at 100 kS/s and
Ch2 at 10 kS/s to a temporary EDF+ file with --events udp:PORT, sends the events over loopback,
each with the time it was sent, and compares the sample each event got with the sample the
recording's clock map gives for that time. It also prints the clock fit's rate, against nominal.
"""
import json
import os
import socket
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def main():
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 1000
    per_second = float(sys.argv[2]) if len(sys.argv) > 2 else 100.0
    recorder = os.path.join(ROOT, "build", "bin", "qx470-record")
    with tempfile.TemporaryDirectory() as tmp:
        probe = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
        probe.close()
        seconds = count / per_second + 3
        env = dict(os.environ, QXSIM_SIGNAL="1", QXSIM_SPEED="1")
        rec = subprocess.Popen([recorder, "-q", "-r", "1=100,2=10", "-t", "%gs" % seconds,
                                "-o", os.path.join(tmp, "run.edf"), "--events",
                                "udp:%d" % port], env=env)
        side = os.path.join(tmp, "run.json")
        while not os.path.exists(side):
            time.sleep(0.01)
        time.sleep(1.0)
        out = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        sent = []
        for i in range(count):
            sent.append(time.monotonic())  # CLOCK_MONOTONIC, the recorder's steady clock
            out.sendto(b"event %d" % i, ("127.0.0.1", port))
            time.sleep(max(0.0, sent[-1] + 1.0 / per_second - time.monotonic()))
        rec.wait()
        meta = json.load(open(side))
    seg = meta["clock"]["segments"][-1]
    got = {e["text"]: e["index"]["Ch1"] for e in meta["events"]}
    offsets = []
    for i, t in enumerate(sent):
        key = "event %d" % i
        if key in got:
            offsets.append((got[key] - (t - seg["steady_of_first"]) * seg["rate"]) / 1e5 * 1e3)
    offsets.sort()
    print("events sent %d, placed %d" % (count, len(offsets)))
    if offsets:
        print("placement against the send time, ms: median %.3f, 99th %.3f, max %.3f, min %.3f"
              % (offsets[len(offsets) // 2], offsets[int(len(offsets) * 0.99)], offsets[-1],
                 offsets[0]))
    print("clock fit: %.1f samples/s (%.1f ppm from nominal), residual %.3f ms, %d notes"
          % (seg["rate"], seg["ppm"], seg["residual_s"] * 1e3, seg["notes"]))


if __name__ == "__main__":
    main()
