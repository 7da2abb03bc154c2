"""qx470usb.load() reads back what qx470-record wrote, in every format, as the Recording that
record() returns: the same codes as the simulator's test pattern, the gaps, the events."""

import os
import socket
import subprocess
import time

import numpy as np
import pytest

import qx470usb

RECORDER = os.environ.get("QX470_RECORD")
needs_recorder = pytest.mark.skipif(not RECORDER, reason="QX470_RECORD names no qx470-record")


def pattern(channel, n):
    """The simulator's test pattern for library channel `channel`, samples n."""
    return (((n * 4 + channel) * 40503 + 12345) & 0xFFFF).astype(np.uint16)


def run(args, env_extra):
    env = {k: v for k, v in os.environ.items() if not k.startswith("QXSIM_")}
    env.update(env_extra)
    done = subprocess.run([RECORDER, "-q"] + args, env=env, capture_output=True, text=True,
                          timeout=300)
    assert done.returncode == 0, done.stderr


@needs_recorder
@pytest.mark.parametrize("ext", ["edf", "csv", "dat", "wav", "flac", "xdf"])
def test_every_format_loads_as_the_pattern_it_recorded(tmp_path, ext):
    one_rate = ext in ("wav", "flac")
    rates = "1=100,3=100" if one_rate else "1=100,3=10"
    out = tmp_path / ("run." + ext)
    run(["-r", rates, "-n", "30000", "-o", str(out), "--label", "1=Fz"],
        {"QXSIM_SIGNAL": "1"})
    rec = qx470usb.load(out)
    assert sorted(rec.codes) == [1, 3]
    assert rec.rates == ({1: 100, 3: 100} if one_rate else {1: 100, 3: 10})
    assert len(rec.codes[1]) == 30000
    assert len(rec.codes[3]) == (30000 if one_rate else 3000)
    # The stream's first frame goes to priming: the file starts one frame in.
    first = int(np.nonzero(pattern(0, np.arange(40)) == rec.codes[1][0])[0][0])
    assert np.array_equal(rec.codes[1], pattern(0, np.arange(first, first + 30000)))
    assert rec.codes[1].dtype == np.uint16
    assert rec.gaps == [] and rec.calibration == 312500
    assert rec.serial == "QX47000" and rec.names[1] == "Fz" and rec.names[3] == "Ch3"
    assert rec.clock is not None and rec.clock.segments
    if one_rate:
        assert rec.array().shape == (30000, 2)
        assert np.array_equal(rec.array(codes=True)[:, 0], rec.codes[1])
    else:
        with pytest.raises(qx470usb.ArgumentError, match="channels 1, 3 run at 100, 10 kS/s"):
            rec.array()
        assert rec.array([3]).shape == (3000, 1)
    with pytest.raises(qx470usb.ArgumentError, match="its channels are 1, 3"):
        rec.volts(2)


@needs_recorder
def test_events_and_lost_stretches_come_back_with_their_samples(tmp_path):
    out = tmp_path / "ev.csv"
    port_sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    port_sock.bind(("127.0.0.1", 0))
    port = port_sock.getsockname()[1]
    port_sock.close()
    env = {k: v for k, v in os.environ.items() if not k.startswith("QXSIM_")}
    env["QXSIM_SIGNAL"] = "1"
    proc = subprocess.Popen([RECORDER, "-q", "-r", "1=10", "-t", "3s", "-o", str(out),
                             "--events", "udp:%d" % port], env=env, stderr=subprocess.PIPE,
                            text=True)
    sidecar = tmp_path / "ev.json"
    deadline = time.monotonic() + 60
    while not sidecar.exists() and time.monotonic() < deadline:
        time.sleep(0.05)
    time.sleep(1.0)
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.sendto(b"stimulus", ("127.0.0.1", port))
    _, err = proc.communicate(timeout=120)
    assert proc.returncode == 0, err
    rec = qx470usb.load(out)
    assert [e.text for e in rec.events] == ["stimulus"]
    assert 0 < rec.events[0].index[1] < 30000
    assert abs(rec.events[0].time - rec.start_time.timestamp() - rec.events[0].index[1] / 1e4) < 0.5


@needs_recorder
@pytest.mark.parametrize("ext", ["edf", "csv", "dat", "xdf"])
def test_a_lost_stretch_comes_back_as_the_sidecar_says_it(tmp_path, ext):
    # The simulated device loses words once at 10 kS/s: the stream is realigned.
    out = tmp_path / ("gap." + ext)
    env = {k: v for k, v in os.environ.items() if not k.startswith("QXSIM_")}
    env.update({"QXSIM_SIGNAL": "1", "QXSIM_LOSE_AT": "10"})
    done = subprocess.run([RECORDER, "-q", "-r", "1=10", "-n", "60000", "-o", str(out)], env=env,
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 3, done.stderr
    rec = qx470usb.load(out)
    assert rec.gaps and all(g.kind == "realign" and g.channel == 1 for g in rec.gaps), rec.gaps
    with open(tmp_path / "gap.json") as f:
        told = __import__("json").load(f)["gaps"]
    assert [(g.index, g.count) for g in rec.gaps] == [(t["index"], t["count"]) for t in told]
    assert len(rec.codes[1]) == 60000
    # Before the gap the samples are the pattern's, one after another.
    g = rec.gaps[0]
    first = int(np.nonzero(pattern(0, np.arange(40)) == rec.codes[1][0])[0][0])
    assert np.array_equal(rec.codes[1][:g.index], pattern(0, np.arange(first, first + g.index)))


def test_a_file_without_its_sidecar_is_refused_with_the_reason(tmp_path):
    lone = tmp_path / "lone.edf"
    lone.write_bytes(b"0" * 256)
    with pytest.raises(qx470usb.Error, match="has no sidecar"):
        qx470usb.load(lone)
    with pytest.raises(qx470usb.ArgumentError, match="path"):
        qx470usb.load(42)
