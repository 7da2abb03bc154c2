"""Every test runs against the simulated amplifier that the build tree's library is linked with."""

import ctypes
import os
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))  # the package straight from the source tree

import qx470usb  # noqa: E402
from qx470usb import lib  # noqa: E402


def simulator():
    """The simulated bridge the library loaded, with its control calls."""
    lib.load()
    for name in ("libqx470usb_bridge.so.1", "libftd2xx.so", "ftd2xx.dll"):
        try:
            sim = ctypes.CDLL(name)
            break
        except OSError:
            continue
    else:
        pytest.skip("the library is not linked with the simulated amplifier")
    sim.qxsim_pattern_value.restype = ctypes.c_uint
    sim.qxsim_pattern_value.argtypes = [ctypes.c_int, ctypes.c_uint]
    sim.qxsim_set_speed.argtypes = [ctypes.c_double]
    sim.qxsim_set_timeout_scale.argtypes = [ctypes.c_double]
    sim.qxsim_lost_words.restype = ctypes.c_ulonglong
    return sim


@pytest.fixture
def sim():
    s = simulator()
    s.qxsim_reset()
    s.qxsim_set_signal(1)
    s.qxsim_set_speed(1.0)
    yield s
    s.qxsim_reset()
