"""What publishing on the Lab Streaming Layer costs and delivers, against liblsl itself.

Usage: bench/lsl_bench.py PATH_TO_QX470_RECORD PATH_TO_LSL_PROBE [SECONDS] [ROUNDS]
(lsl_probe is built beside the tests when a prebuilt liblsl is at hand: build-dev/tests/lsl_probe.)
Records 4 x 100 kS/s to a raw file for SECONDS (default 60) two ways, ROUNDS times each (default
3), interleaved: alone, and published with --lsl to a liblsl inlet that pulls every sample. Prints
the recorder's median CPU time in each and their ratio, and whether every sample the inlet pulled
was right against the simulator's test pattern, none missing from its first to the recording's
last. Then 20 markers from a liblsl outlet, sent at known times on the LSL clock, are taken with
--events lsl:NAME: how far from its sending time each was placed, and the time of the sample it
landed on. Every exchange stays on the loopback.
"""
import json
import os
import statistics
import subprocess
import sys
import tempfile

import numpy as np

RECORDER = sys.argv[1]
PROBE = sys.argv[2]
SECONDS = float(sys.argv[3]) if len(sys.argv) > 3 else 60.0
ROUNDS = int(sys.argv[4]) if len(sys.argv) > 4 else 3
RATE = 100000
LOOPBACK = ("[ports]\nIPv6 = disable\n[multicast]\nResolveScope = machine\n"
            "MachineAddresses = {127.0.0.1}\nInterfaces = {127.0.0.1}\n[lab]\nKnownPeers = {127.0.0.1}\n")


def pattern_volts(ch, n):
    code = ((n * 4 + ch) * 40503 + 12345) & 0xFFFF
    return (code.astype(np.float32) - np.float32(32768)) * np.float32(312500e-9)


def env(tmp):
    cfg = os.path.join(tmp, "lsl_api.cfg")
    with open(cfg, "w") as f:
        f.write(LOOPBACK)
    e = {k: v for k, v in os.environ.items() if not k.startswith("QXSIM_")}
    e["LSLAPICFG"] = cfg
    e["QXSIM_SIGNAL"] = "1"  # the test pattern, to check every value
    return e


def record(tmp, publish):
    run = tempfile.mkdtemp(dir=tmp)
    args = [RECORDER, "-q", "-r", "1=100,2=100,3=100,4=100", "-t", f"{SECONDS:g}s",
            "-o", os.path.join(run, "run.dat")]
    inlet = None
    pulled = os.path.join(run, "pulled.bin")
    if publish:
        args += ["--lsl", "qxbench"]
        inlet = subprocess.Popen([PROBE, "pull", "qxbench", str(SECONDS + 60), pulled],
                                 env=env(tmp), stdout=subprocess.PIPE, text=True)
    proc = subprocess.Popen(args, env=env(tmp), stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                            text=True)
    _, status, usage = os.wait4(proc.pid, 0)
    said = proc.stderr.read()
    if os.waitstatus_to_exitcode(status) != 0:
        raise RuntimeError("the recorder failed: " + said)
    result = {"cpu": usage.ru_utime + usage.ru_stime}
    if inlet:
        inlet.wait(timeout=120)
        with open(pulled, "rb") as f:
            correction = np.frombuffer(f.read(8), "<f8")[0]
            np.frombuffer(f.read(4), "<i4")
            rows = np.frombuffer(f.read(), dtype=[("t", "<f8"), ("v", "<f4", 4)])
        total = int(SECONDS * RATE)
        first = total - len(rows)
        n = np.arange(first, total, dtype=np.int64) + 3  # priming discards three frames
        wrong = sum(int(np.count_nonzero(rows["v"][:, ch] != pattern_volts(ch, n)))
                    for ch in range(4))
        steps = np.diff(rows["t"])
        result.update(pulled=len(rows), total=total, wrong=wrong, correction=correction,
                      step_error=float(np.max(np.abs(steps - 1.0 / RATE))) if len(steps) else 0)
    return result


def markers(tmp):
    run = tempfile.mkdtemp(dir=tmp)
    out = os.path.join(run, "run.csv")
    sender = subprocess.Popen([PROBE, "markers", "qxbench-in", "20"], env=env(tmp),
                              stdout=subprocess.PIPE, text=True)
    subprocess.run([RECORDER, "-q", "-r", "1=100", "-t", "10s", "-o", out, "--events",
                    "lsl:qxbench-in"], env=env(tmp), check=True, stderr=subprocess.DEVNULL)
    sent = {}
    for line in sender.communicate(timeout=60)[0].splitlines():
        t, text = line.split(" ", 1)
        sent[text] = float(t)
    with open(os.path.join(run, "run.json")) as f:
        seg = json.load(f)["clock"]["segments"][-1]
    placed, landed = [], []
    with open(os.path.join(run, "run.events.jsonl")) as f:
        for line in f:
            e = json.loads(line)
            if e.get("type") != "event" or e["text"] not in sent:
                continue
            t = sent[e["text"]]
            placed.append(abs(e["steady"] - t) * 1000)
            sample_time = seg["steady_of_first"] + e["index"]["Ch1"] / seg["rate"]
            landed.append(abs(sample_time - t) * 1000)
    return len(sent), placed, landed


def main():
    names = ("recording alone", "published to a liblsl inlet")
    runs = {name: [] for name in names}
    with tempfile.TemporaryDirectory() as tmp:
        for _ in range(ROUNDS):
            for name, publish in zip(names, (False, True)):
                runs[name].append(record(tmp, publish))
        sent, placed, landed = markers(tmp)
    cpu = {name: statistics.median(r["cpu"] for r in runs[name]) for name in names}
    base = cpu[names[0]]
    print(f"4 x 100 kS/s for {SECONDS:g} s to a raw file, {ROUNDS} rounds; the recorder's CPU "
          "time (medians):")
    for name in names:
        print(f"  {name:30s} {cpu[name]:6.2f} s  {cpu[name] / SECONDS * 100:5.1f} % of a core"
              f"  ratio {cpu[name] / base:4.2f}")
    for r in runs[names[1]]:
        print(f"  inlet: pulled {r['pulled']} of {r['total']} samples (from its first to the last)"
              f", {r['wrong']} values wrong, time correction {r['correction'] * 1e6:+.1f} us,"
              f" steps within {r['step_error'] * 1e9:.1f} ns of 10 us")
    print(f"markers from a liblsl outlet: {len(placed)} of {sent} placed;"
          f" placed time from sent time: median {statistics.median(placed):.3f} ms,"
          f" largest {max(placed):.3f} ms; their sample's time from sent time:"
          f" median {statistics.median(landed):.3f} ms, largest {max(landed):.3f} ms")


if __name__ == "__main__":
    main()
