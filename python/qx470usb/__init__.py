"""The QX-470-USB amplifier from Python: numpy arrays of its samples.

    import qx470usb
    rec = qx470usb.record({1: 100, 2: 10}, seconds=2)
    rec.volts(1)          # channel 1 in volts, float64
    rec.codes[2]          # channel 2's raw offset-binary codes, uint16
    rec = qx470usb.load("run.edf")   # what qx470-record wrote, as the same Recording

Channels are labelled 1 to 4, as the console and qx470-record label them; rates are in kS/s
(100, 50, 20, 10, 5, 2, 1). For long runs, qx470usb.Stream yields chunks as they arrive;
``python3 -m qx470usb.scope`` plots the channels live. Every error raised on purpose is a
qx470usb.Error.
"""

from . import lib
from .core import (Amplifier, Chunk, Clock, ClockSegment, Event, Gap, Info, ReadResult, Recording,
                   Stream, devices, info, parse_rates, rates_available, record, status_text,
                   to_volts)
from .errors import ArgumentError, BusyError, DeviceError, Error, NotRunningError
from .files import load
from .lib import LibraryNotFound

__all__ = ["status", "info", "devices", "record", "load", "Stream", "Recording", "Gap", "Chunk",
           "ReadResult", "Info", "Amplifier", "Event", "Clock", "ClockSegment", "Error", "DeviceError", "ArgumentError",
           "BusyError", "NotRunningError", "LibraryNotFound", "parse_rates", "rates_available",
           "status_text", "to_volts", "lib"]

# The one place the package's version is written (pyproject.toml reads it from here); the
# libraries carry the same number, which a test compares.
__version__ = "1.0.0"


def status() -> int:
    """The device status as the library gives it: 101 ready, -5 no device, -8 not powered."""
    return lib.load().Get_QX470USB_Status()
