#!/usr/bin/python3
"""Where qx470-record puts events sent at known times, against the simulator in real time; and
what a flood of events costs it.

Usage: scripts/measure_events.py [EVENTS [PER_SECOND]]   (default 1000 events at 100 a second)
       scripts/measure_events.py --flood [PER_SECOND [SECONDS [FORMAT]]]  (20000, 20, edf)
Builds nothing: run it after scripts/test.sh or scripts/console.sh. The first form records Ch1 at
100 kS/s and Ch2 at 10 kS/s to a temporary EDF+ file with --events udp:PORT, sends the events over
loopback, each with the time it was sent, and compares the sample each event got with the sample
the recording's clock map gives for that time. It also prints the clock fit's rate, against
nominal. The flood records four channels at 100 kS/s while events come at PER_SECOND for SECONDS,
and prints the recorder's memory (RSS) from start to end, its wall time against the recording's
length, its summary, and the events placed and dropped.
"""
import json
import os
import socket
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def free_port():
    probe = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    probe.bind(("127.0.0.1", 0))
    port = probe.getsockname()[1]
    probe.close()
    return port


def rss_mb(pid):
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1]) / 1024.0
    except OSError:
        pass
    return None


def journal_events(path):
    with open(path) as f:
        return [e for e in map(json.loads, f) if e["type"] == "event"]


def flood(per_second, seconds, fmt):
    recorder = os.path.join(ROOT, "build", "bin", "qx470-record")
    length = seconds + 4
    with tempfile.TemporaryDirectory() as tmp:
        port = free_port()
        env = dict(os.environ, QXSIM_SIGNAL="1", QXSIM_SPEED="1")
        begun = time.monotonic()
        rec = subprocess.Popen([recorder, "-q", "-r", "1=100,2=100,3=100,4=100", "-t",
                                "%gs" % length, "-o", os.path.join(tmp, "run." + fmt),
                                "--events", "udp:%d" % port], env=env, stderr=subprocess.PIPE,
                               text=True)
        side = os.path.join(tmp, "run.json")
        while not os.path.exists(side):
            time.sleep(0.01)
        time.sleep(1.0)
        start_rss = rss_mb(rec.pid)
        peak = start_rss
        out = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        sent = 0
        t0 = time.monotonic()
        next_look = t0
        while time.monotonic() - t0 < seconds:
            # Paced in bursts of a millisecond's worth.
            due = int((time.monotonic() - t0) * per_second)
            while sent < due:
                out.sendto(b"flood %d" % sent, ("127.0.0.1", port))
                sent += 1
            if time.monotonic() >= next_look:
                now = rss_mb(rec.pid)
                peak = max(peak, now or 0)
                next_look += 0.5
            time.sleep(0.001)
        end_rss = rss_mb(rec.pid)
        _, err = rec.communicate()
        wall = time.monotonic() - begun
        meta = json.load(open(side))
        placed = len(journal_events(os.path.join(tmp, "run.events.jsonl")))
    print("events sent %d at %d a second for %g s; placed %d, dropped by the kernel %d"
          % (sent, per_second, seconds, placed, meta["events_dropped"]))
    print("recorder RSS: %.1f MB after start, %.1f MB at the end of the flood, peak %.1f MB "
          "(+%.1f MB)" % (start_rss, end_rss, peak, peak - start_rss))
    print("a %g s recording took %.1f s from start to exit (the first block and the stop "
          "included); exit %d" % (length, wall, rec.returncode))
    for line in err.strip().splitlines():
        print(line)


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--flood":
        args = sys.argv[2:]
        flood(float(args[0]) if args else 20000.0, float(args[1]) if len(args) > 1 else 20.0,
              args[2] if len(args) > 2 else "edf")
        return
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
        events = journal_events(os.path.join(tmp, "run.events.jsonl"))
    seg = meta["clock"]["segments"][-1]
    got = {e["text"]: e["index"]["Ch1"] for e in events}
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
