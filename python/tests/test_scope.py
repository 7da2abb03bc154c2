"""The scope's picture without a display."""

import os
import struct
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def png_size(path):
    with open(path, "rb") as f:
        head = f.read(24)
    assert head[:8] == b"\x89PNG\r\n\x1a\n"
    return struct.unpack(">II", head[16:24])


def test_png_of_the_expected_size(tmp_path):
    out = tmp_path / "view.png"
    env = dict(os.environ, MPLBACKEND="Agg", QXSIM_SIGNAL="1")
    r = subprocess.run([sys.executable, "-m", "qx470usb.scope", "--png", str(out), "--seconds",
                        "0.3", "-r", "1=100,3=10", "--size", "640x480"],
                       cwd=ROOT, env=env, capture_output=True, text=True, timeout=120)
    assert r.returncode == 0, r.stderr
    assert png_size(out) == (640, 480)
    assert "Ch1 30000 samples, Ch3 3000 samples" in r.stderr


def test_bad_rates_exit_2_with_a_message(tmp_path):
    r = subprocess.run([sys.executable, "-m", "qx470usb.scope", "--png", str(tmp_path / "x.png"),
                        "-r", "9=100"], cwd=ROOT, capture_output=True, text=True, timeout=60)
    assert r.returncode == 2
    assert "channels are 1 to 4" in r.stderr
    assert not (tmp_path / "x.png").exists()


def test_live_view_without_a_display_says_to_use_png():
    env = dict(os.environ, MPLBACKEND="Agg")
    r = subprocess.run([sys.executable, "-m", "qx470usb.scope", "-r", "1=10"], cwd=ROOT, env=env,
                       capture_output=True, text=True, timeout=60)
    assert r.returncode == 1
    assert "no display" in r.stderr and "--png" in r.stderr
