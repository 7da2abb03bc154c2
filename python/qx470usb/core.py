"""Recording and streaming: numpy arrays of the amplifier's samples.

Channels are labelled 1 to 4, as the console and qx470-record label them (label 1 is the
library's channel 0). Rates are in kS/s: 100, 50, 20, 10, 5, 2 or 1.
"""

import ctypes
import datetime
import os
import time
import warnings
from typing import Dict, List, NamedTuple, Optional, Union

import numpy as np

from . import _host, lib

RATES_KS = (100, 50, 20, 10, 5, 2, 1)
READY, NO_DEVICE, NOT_POWERED = 101, -5, -8
MID_SCALE = 32768
DEFAULT_CALIBRATION = 312500  # nV per count
CALIBRATION_RANGE = (300001, 319999)
_BLOCK_WORDS = 16384


class DeviceError(RuntimeError):
    """The amplifier is missing, unpowered, or stopped delivering."""


class Gap(NamedTuple):
    """Samples [index, index + count) of a channel are missing. kind "lost": they left the ring
    before they were read; "restart": a new stream begins at index + count; "realign": the device
    lost words below the library, which started a new stream at index + count (count covers the
    time in between); "clock": the stream brought fewer samples than the clock says were sent."""

    channel: int
    index: int
    count: int
    kind: str


class Info(NamedTuple):
    """Which amplifier a host drives: the library's file, the reader's, and the bridge below the
    library (bridge: "simulated amplifier", "USB" or "emulated USB"; bridge_file: its path)."""

    library: str
    reader: str
    bridge: str
    bridge_file: str

    def __str__(self):
        return "%s (%s), through %s" % (self.bridge, self.bridge_file or "?", self.library)


def info() -> Info:
    """What this process drives; the simulator is never taken for the device."""
    kind, path = _host.bridge()
    return Info(os.path.abspath(lib.library_path()) if os.sep in lib.library_path()
                else lib.library_path(), _host.library_path(), kind, path)


class Chunk(NamedTuple):
    """Samples of one channel: codes[i] is sample index + i."""

    channel: int
    index: int
    codes: np.ndarray


class ReadResult(NamedTuple):
    """What Stream.read_into stored: `count` samples from index `first`, or the gap before them."""

    count: int
    first: int
    gap: Optional[Gap]


def status_text(status: int) -> str:
    return {READY: "ready", NO_DEVICE: "no device", NOT_POWERED: "amplifier not powered"}.get(
        status, "unexpected status %d" % status)


def parse_rates(given: Union[str, Dict[int, int]]) -> Dict[int, int]:
    """Rates by channel label, from a mapping {1: 100, ...} or the recorder's "1=100,2=off"."""
    if isinstance(given, str):
        pairs = {}
        for part in filter(None, (p.strip() for p in given.split(","))):
            if "=" not in part:
                raise ValueError("rate %r: expected CH=KS, for example 1=100" % part)
            ch, ks = (x.strip() for x in part.split("=", 1))
            if not ch.isdigit():
                raise ValueError("rate %r: the channel must be 1 to 4" % part)
            if int(ch) in pairs:
                raise ValueError("channel %s is given twice in %r" % (ch, given))
            if ks.lower() == "off":
                pairs[int(ch)] = 0
            elif ks.isdigit():
                pairs[int(ch)] = int(ks)
            else:
                raise ValueError("rate %r: the rate must be one of %s or off" %
                                 (part, " ".join(map(str, RATES_KS))))
        given = pairs
    rates = {}
    for ch, ks in dict(given).items():
        if isinstance(ch, bool) or not isinstance(ch, int) or not 1 <= ch <= 4:
            raise ValueError("channel %r: channels are labelled 1 to 4" % (ch,))
        if ks is None or ks == 0:
            continue
        if isinstance(ks, bool) or ks not in RATES_KS:
            raise ValueError("channel %d: %r kS/s is not a rate the amplifier runs at (%s)" %
                             (ch, ks, ", ".join(map(str, RATES_KS))))
        rates[ch] = int(ks)
    if not rates:
        raise ValueError("no channel is on")
    return rates


def _prepare_device():
    """The console's checks before acquiring: status, shunt off, the calibration value."""
    library = lib.load()
    status = library.Get_QX470USB_Status()
    if status != READY:
        raise DeviceError("QX-470-USB: %s (status %d)" % (status_text(status), status))
    library.Do_Cal_Off()
    cal = library.Get_Calibration_Data()
    if not CALIBRATION_RANGE[0] <= cal <= CALIBRATION_RANGE[1]:
        warnings.warn("the calibration value could not be read from the EEPROM (got %d); using %d"
                      % (cal, DEFAULT_CALIBRATION), RuntimeWarning, stacklevel=3)
        cal = DEFAULT_CALIBRATION
    return cal


def _block_seconds(rates: Dict[int, int]) -> float:
    return _BLOCK_WORDS / (1000.0 * sum(rates.values()))


class Stream:
    """A running acquisition for long runs, as a context manager.

        with qx470usb.Stream({1: 100, 2: 10}) as stream:
            for item in stream:          # Chunk or Gap items, as they arrive
                ...

    `read_into(channel, array)` fills a caller's int32 array instead, without a copy. One Stream
    is open in a process at a time (the library owns one amplifier)."""

    def __init__(self, rates, chunk=16384, stall_seconds=None):
        self.rates = {ch: ks * 1000 for ch, ks in parse_rates(rates).items()}  # samples/s
        self.gaps: List[Gap] = []
        self.calibration = DEFAULT_CALIBRATION
        self.start_time: Optional[datetime.datetime] = None
        self.info: Optional[Info] = None  # what was driven, from start() on
        self._chunk = int(chunk)
        self._reader = None
        block = _block_seconds({ch: r // 1000 for ch, r in self.rates.items()})
        self._stall = stall_seconds if stall_seconds is not None else 2 * block + 5.0
        self._last_data = 0.0

    def __enter__(self):
        self.start()
        return self

    def __repr__(self):
        rates = ", ".join("%d: %d S/s" % (c, r) for c, r in sorted(self.rates.items()))
        state = "open" if self._reader is not None else "closed"
        source = "; %s" % self.info.bridge if self.info is not None else ""
        return "<Stream %s; %s%s>" % (rates, state, source)

    def __exit__(self, *exc):
        self.close()
        return False

    def start(self):
        if self._reader is not None:
            return
        self.calibration = _prepare_device()
        self.info = info()
        host = _host.load()
        ks = (ctypes.c_int32 * 4)(*[self.rates.get(ch, 0) // 1000 for ch in (1, 2, 3, 4)])
        reader = host.qx470_reader_open(ks)
        if not reader:
            raise RuntimeError("another Stream or recording is open in this process")
        if not host.qx470_reader_start(reader):
            host.qx470_reader_close(reader)
            raise DeviceError("the acquisition did not start")
        self._reader = reader
        self.start_time = datetime.datetime.now(datetime.timezone.utc)
        self._last_data = time.monotonic()

    def close(self):
        """Stops the acquisition; the Stream cannot be read afterwards."""
        if self._reader is not None:
            _host.load().qx470_reader_close(self._reader)
            self._reader = None

    def restart(self):
        """Pauses and restarts the acquisition: every channel then reports a "restart" gap."""
        self._require()
        return bool(_host.load().qx470_reader_restart(self._reader))

    def lost(self, channel: int) -> int:
        """Samples of the channel lost so far."""
        self._require()
        return int(_host.load().qx470_reader_lost(self._reader, channel - 1))

    def next_index(self, channel: int) -> int:
        self._require()
        return int(_host.load().qx470_reader_next_index(self._reader, channel - 1))

    def volts(self, codes) -> np.ndarray:
        """Calibrated volts of raw codes (float64)."""
        return to_volts(codes, self.calibration)

    def read_into(self, channel: int, array: np.ndarray) -> ReadResult:
        """Fills the start of `array` (a writable, contiguous numpy int32 array) with the
        channel's next samples, straight from the library's run reader. Returns how many with
        the index of the first, or, with count 0, the gap that comes first (then call again);
        count 0 without a gap means nothing new yet."""
        self._require()
        if channel not in self.rates:
            raise ValueError("channel %r is not on" % (channel,))
        if not isinstance(array, np.ndarray) or array.dtype != np.int32 or array.ndim != 1 \
                or not array.flags.c_contiguous or not array.flags.writeable:
            raise TypeError("read_into needs a writable one-dimensional C-contiguous int32 array")
        first = ctypes.c_uint64()
        gap = _host.GapStruct()
        n = _host.load().qx470_reader_read(
            self._reader, channel - 1, array.ctypes.data_as(ctypes.POINTER(ctypes.c_int32)),
            min(len(array), 2**31 - 1), ctypes.byref(first), ctypes.byref(gap))
        if n == _host.READ_GAP:
            g = Gap(channel, int(gap.index), int(gap.count), _host.GAP_KINDS.get(gap.kind, "lost"))
            self.gaps.append(g)
            return ReadResult(0, int(gap.index) + int(gap.count), g)
        if n < 0:
            raise ValueError("the reader refused the arguments")
        if n > 0:
            self._last_data = time.monotonic()
        return ReadResult(n, int(first.value), None)

    def __iter__(self):
        buf = np.empty(self._chunk, dtype=np.int32)
        while True:
            self._require()
            got_any = False
            for ch in sorted(self.rates):
                r = self.read_into(ch, buf)
                if r.gap is not None:
                    got_any = True
                    yield r.gap
                elif r.count:
                    got_any = True
                    yield Chunk(ch, r.first, buf[:r.count].astype(np.uint16))
            if not got_any:
                self.check_stalled()
                time.sleep(0.002)

    def check_stalled(self):
        """Raises DeviceError when no sample has come for longer than a stream can pause."""
        if time.monotonic() - self._last_data > self._stall:
            status = lib.load().Get_QX470USB_Status()
            if status != READY:
                raise DeviceError("the amplifier stopped delivering: %s" % status_text(status))
            self._last_data = time.monotonic()  # it answers: a slow stream, keep waiting

    def _require(self):
        if self._reader is None:
            raise RuntimeError("the Stream is not running (use it in a with statement)")


def to_volts(codes, calibration: int) -> np.ndarray:
    """Offset-binary codes to volts at `calibration` nV per count."""
    return (np.asarray(codes, dtype=np.float64) - MID_SCALE) * (calibration * 1e-9)


class Recording:
    """A finished recording: codes[ch] (numpy uint16 offset-binary codes by channel label),
    rates[ch] (samples per second), calibration (nV per count), gaps, start_time (UTC), and info:
    which amplifier was recorded (Info; info.bridge is "simulated amplifier" for the simulator)."""

    def __init__(self, codes, rates, calibration, gaps, start_time, info=None):
        self.codes: Dict[int, np.ndarray] = codes
        self.rates: Dict[int, int] = rates
        self.calibration: int = calibration
        self.gaps: List[Gap] = gaps
        self.start_time: datetime.datetime = start_time
        self.info: Optional[Info] = info

    def volts(self, channel: int) -> np.ndarray:
        """The channel's samples in volts (float64)."""
        return to_volts(self.codes[channel], self.calibration)

    def times(self, channel: int) -> np.ndarray:
        """Seconds from the start of the recording of each of the channel's samples."""
        return np.arange(len(self.codes[channel]), dtype=np.float64) / self.rates[channel]

    def __repr__(self):
        chans = ", ".join("%d: %d S at %d S/s" % (c, len(self.codes[c]), self.rates[c])
                          for c in sorted(self.codes))
        source = "; %s" % self.info.bridge if self.info is not None else ""
        return "<Recording %s; %d gaps%s>" % (chans, len(self.gaps), source)


def targets(rates: Dict[int, int], seconds=None, samples=None) -> Dict[int, int]:
    """Samples per channel label: `seconds` of each, or `samples` of the fastest channel and the
    others in proportion (rounded down), as qx470-record counts them."""
    if (seconds is None) == (samples is None):
        raise ValueError("give seconds or samples, one of them")
    if seconds is not None:
        if not seconds > 0:
            raise ValueError("seconds must be positive")
        return {ch: int(round(ks * 1000 * seconds)) for ch, ks in rates.items()}
    if int(samples) != samples or samples <= 0:
        raise ValueError("samples must be a positive whole number")
    fastest = max(rates.values())
    return {ch: int(samples) * ks // fastest for ch, ks in rates.items()}


def record(rates, seconds=None, samples=None) -> Recording:
    """Starts the amplifier, records, stops. `rates` maps channel labels 1 to 4 to kS/s;
    `seconds` of every channel, or `samples` of the fastest channel (the others in proportion).
    Lost stretches are filled with mid-scale codes and listed in Recording.gaps. The calibration
    value is read, never written."""
    ks = parse_rates(rates)
    want = targets(ks, seconds, samples)
    out = {ch: np.empty(n, dtype=np.int32) for ch, n in want.items()}
    filled = {ch: 0 for ch in want}
    with Stream(ks) as stream:
        while any(filled[ch] < want[ch] for ch in want):
            progressed = False
            for ch in sorted(want):
                if filled[ch] >= want[ch]:
                    continue
                r = stream.read_into(ch, out[ch][filled[ch]:])
                if r.gap is not None:
                    progressed = True
                    # A lost stretch keeps its place in time, filled with mid-scale.
                    end = min(want[ch], r.gap.index + r.gap.count)
                    if end > filled[ch]:
                        out[ch][filled[ch]:end] = MID_SCALE
                        filled[ch] = end
                elif r.count:
                    progressed = True
                    filled[ch] += r.count
            if not progressed:
                stream.check_stalled()
                time.sleep(0.002)
        codes = {ch: out[ch].astype(np.uint16) for ch in sorted(want)}
        return Recording(codes, dict(stream.rates), stream.calibration,
                         [g for g in stream.gaps if g.index < want[g.channel]],
                         stream.start_time, stream.info)
