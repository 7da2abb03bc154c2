"""Python and qx470-record take the same rate lists and count the same samples: the rules live
once, in the reader library, and neither host adds its own."""

import os
import subprocess

import pytest

import qx470usb
from qx470usb import core

RECORDER = os.environ.get("QX470_RECORD")
needs_recorder = pytest.mark.skipif(not RECORDER, reason="QX470_RECORD names no qx470-record")

RATE_LISTS = ["1=100", "1=100,2=off,4=1", "4=1,3=2,2=5,1=10", "1=OFF,2=50", "1=100,", "1=100,,2=1",
              "", ",", "1=100,1=10", "5=100", "0=1", "1=7", "1=0", "1=fast", "1=-5", "1=1000",
              "1=00100", "1 =100", "1=100 ", "a=1", "2=off"]


def recorder_says(rate_list):
    """The rates qx470-record took from -r, or its message. -n 0 is refused after -r is
    accepted, so nothing is recorded either way."""
    r = subprocess.run([RECORDER, "-r", rate_list, "-n", "0", "-o", os.devnull + ".csv"],
                       capture_output=True, text=True, timeout=60)
    assert r.returncode == 2, r.stderr
    first = r.stderr.splitlines()[0]
    assert first.startswith("qx470-record: ")
    return first[len("qx470-record: "):]


@needs_recorder
@pytest.mark.parametrize("rate_list", RATE_LISTS)
def test_a_rate_list_means_the_same_to_both(rate_list):
    said = recorder_says(rate_list)
    try:
        core.parse_rates(rate_list)
    except qx470usb.ArgumentError as e:
        assert str(e) == said
    else:
        assert said.startswith("invalid sample count '0'"), said


@needs_recorder
@pytest.mark.parametrize("rates,samples", [({1: 100, 2: 20, 4: 1}, 2999), ({3: 50, 4: 2}, 1001)])
def test_a_sample_count_gives_the_same_samples_to_both(tmp_path, rates, samples):
    want = core.targets(rates, samples=samples)
    rate_list = ",".join("%d=%d" % kv for kv in rates.items())
    env = dict(os.environ, QXSIM_SIGNAL="1")
    r = subprocess.run([RECORDER, "-q", "-r", rate_list, "-n", str(samples), "-o",
                        str(tmp_path / "x.csv")], capture_output=True, text=True, timeout=120,
                       env=env)
    assert r.returncode == 0, r.stderr
    for ch, n in want.items():
        assert " Ch%d %d" % (ch, n) in r.stderr, (ch, n, r.stderr)
    assert core.targets(rates, seconds=0.5) == {ch: ks * 500 for ch, ks in rates.items()}


def test_the_version_is_the_libraries_version():
    from qx470usb import _reader
    assert qx470usb.__version__ == _reader.version()
