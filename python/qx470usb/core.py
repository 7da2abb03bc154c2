"""Recording and streaming: numpy arrays of the amplifier's samples.

Channels are labelled 1 to 4, as the console and qx470-record label them (label 1 is the
library's channel 0). ``rates`` are in kS/s everywhere (100, 50, 20, 10, 5, 2 or 1), as they go in;
``sample_rates`` are in samples per second. The rules (which rates, how a rate list reads, how many
samples a length takes, when a silent amplifier is given up) are the reader library's, shared with
qx470-record.
"""

import atexit
import contextlib
import ctypes
import datetime
import numbers
import os
import queue
import threading
import time
import warnings
import weakref
from typing import Dict, Iterator, List, Mapping, NamedTuple, Optional, Union

import numpy as np

from . import _reader, lib
from .errors import ArgumentError, BusyError, DeviceError, NotRunningError

MID_SCALE = 32768  # the offset-binary code of 0 V

Rates = Union[str, Mapping[int, Union[int, str, None]]]


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


class Amplifier(NamedTuple):
    """An attached amplifier: its serial number (what ``device=`` takes), its description, where
    it sits (bus << 12 | address << 4 | 1 on Linux) and the bridge it is reached through: "USB"
    for a device, "simulated amplifier" or "emulated USB" for none."""

    serial: str
    description: str
    location: int
    bridge: str = "USB"


class Chunk(NamedTuple):
    """Samples of one channel: codes[i] is sample index + i."""

    channel: int
    index: int
    codes: np.ndarray


class Event(NamedTuple):
    """An event of the experiment in a recording: its text, its time (seconds since 1970 on the
    host's system clock) and the sample of each channel it fell on (by channel label)."""

    text: str
    time: float
    index: Dict[int, int]


class ClockSegment(NamedTuple):
    """One stretch of a recording on the host's clocks: from each channel's `first` sample (by
    label), the reference channel's samples came at `rate` samples/s as the host's clock measured
    it (`ppm` from nominal), the first at `time` (seconds since 1970); `residual` is how far the
    notes lay from that line (root mean square, seconds)."""

    stream: int
    first: Dict[int, int]
    time: float
    rate: float
    ppm: float
    residual: float


class Clock(NamedTuple):
    """Where a recording's samples lie on the host's clocks: the reference channel (label), its
    nominal rate, the notes kept at about one a second as (index, steady s, utc s), and the fit of
    every segment (a restart or a realignment starts one)."""

    reference: int
    nominal_rate: float
    pairs: List[tuple]
    segments: List[ClockSegment]


def _clock(reader, rates_ks: Dict[int, int]) -> Clock:
    segments = _reader.clock_segments(reader)
    ref = (segments[0].reference + 1) if segments else min(rates_ks)
    nominal = rates_ks[ref] * 1000.0
    fits = []
    for seg in segments:
        measured = 1.0 / seg.seconds_per_sample if seg.seconds_per_sample > 0 else 0.0
        fits.append(ClockSegment(int(seg.stream), {ch: int(seg.first[ch - 1]) for ch in rates_ks},
                                 seg.steady0 + seg.utc_minus_steady, measured,
                                 (measured / nominal - 1.0) * 1e6 if nominal else 0.0,
                                 seg.residual))
    return Clock(ref, nominal, _reader.clock_pairs(reader), fits)


class ReadResult(NamedTuple):
    """What Stream.read_into stored: `count` samples from index `first`, or the gap before them."""

    count: int
    first: int
    gap: Optional[Gap]


def info() -> Info:
    """What this process drives; the simulator is never taken for the device."""
    kind, path = _reader.bridge()
    where = lib.library_path()
    return Info(os.path.abspath(where) if os.sep in where else where, _reader.library_path(),
                kind, path)


def devices() -> List[Amplifier]:
    """The attached amplifiers, by location (only the chosen one while a Stream with ``device=``
    is open)."""
    kind = _reader.bridge()[0]
    return [Amplifier(*a, bridge=kind) for a in _reader.amplifiers()]


def rates_available() -> tuple:
    """The rates the amplifier runs at, in kS/s, fastest first."""
    return _reader.rates()


def status_text(status: int) -> str:
    """What a status of the library means, in words ("ready (status 101)", ...)."""
    return _reader.status_words(int(status))


def _rate_list(given: Rates) -> str:
    """A mapping in the rate list's own words, so both forms take the same values."""
    if isinstance(given, str):
        return given
    if not isinstance(given, Mapping):
        raise ArgumentError("rates: expected a mapping such as {1: 100} or a string such as "
                            "'1=100,2=off', not %s" % type(given).__name__)
    items = []
    for ch, ks in given.items():
        if isinstance(ch, bool) or not isinstance(ch, numbers.Integral):
            raise ArgumentError("channel %r: channels are 1 to 4" % (ch,))
        if ks is None or (isinstance(ks, numbers.Integral) and not isinstance(ks, bool)
                          and ks == 0):
            ks = "off"
        elif isinstance(ks, bool) or not isinstance(ks, (numbers.Integral, str)):
            raise ArgumentError("channel %d: rate %r: expected kS/s as a whole number or 'off'"
                                % (ch, ks))
        items.append("%d=%s" % (ch, ks))
    return ",".join(items)


def parse_rates(given: Rates) -> Dict[int, int]:
    """Rates in kS/s by channel label, from a mapping {1: 100, 2: "off"} or a string
    "1=100,2=off" (qx470-record's -r). Channels not named, None and 0 are off. ArgumentError
    (a ValueError) names what is wrong."""
    per_channel = _reader.parse_rates(_rate_list(given))
    return {ch + 1: ks for ch, ks in enumerate(per_channel) if ks}


def _number(name: str, value) -> float:
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise ArgumentError("%s: expected a number, not %r" % (name, value))
    return value


def _finite(name: str, value) -> float:
    """A real number that is finite as a float (10**400 is not)."""
    _number(name, value)
    try:
        f = float(value)
    except OverflowError:
        f = float("inf")
    if not np.isfinite(f):
        raise ArgumentError("%s: expected a finite number, not %r" % (name, value))
    return f


# How far outside the recording a mark's time may lie, seconds; the recorder allows the same.
EVENT_GRACE_SECONDS = 1.0


def _event_text(text) -> str:
    """Valid UTF-8 whatever came: invalid bytes and lone surrogates are replaced."""
    if isinstance(text, (bytes, bytearray)):
        return bytes(text).decode("utf-8", errors="replace")
    return str(text).encode("utf-8", errors="replace").decode("utf-8")


def _memory_available() -> Optional[int]:
    """Bytes of memory a new allocation can have now, where the system says: Linux's
    MemAvailable, which counts the page cache it would give back (free pages alone would refuse
    recordings that fit on a machine whose memory is mostly cache); else all of the memory."""
    try:
        with open("/proc/meminfo") as f:
            for line in f:
                if line.startswith("MemAvailable:"):
                    return int(line.split()[1]) * 1024
    except (OSError, ValueError, IndexError):
        pass
    try:
        return os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
    except (AttributeError, ValueError, OSError):
        return None


def targets(rates: Dict[int, int], seconds: Optional[float] = None,
            samples: Optional[int] = None) -> Dict[int, int]:
    """Samples per channel label: `seconds` of each, or `samples` of the fastest channel and the
    others in proportion (rounded down), as qx470-record counts them."""
    if (seconds is None) == (samples is None):
        raise ArgumentError("give seconds or samples, one of them")
    if seconds is not None and not _number("seconds", seconds) > 0:
        raise ArgumentError("seconds must be positive, not %r" % (seconds,))
    if seconds is not None:
        _finite("seconds", seconds)
    if samples is not None and (_number("samples", samples) != int(samples) or samples <= 0
                                or samples >= 2**63):
        raise ArgumentError("samples must be a positive whole number below 2**63, not %r"
                            % (samples,))
    ks = [rates.get(ch, 0) for ch in (1, 2, 3, 4)]
    got = _reader.sample_targets(ks, seconds or 0.0, int(samples or 0))
    return {ch: got[ch - 1] for ch in rates}


def to_volts(codes, calibration: int) -> np.ndarray:
    """Offset-binary codes to volts at `calibration` nV per count."""
    return (np.asarray(codes, dtype=np.float64) - MID_SCALE) * (calibration * 1e-9)


# A recording that has all it asked for is returned before the library's stop, which at the
# slowest rates waits up to 16 s for a block that holds nothing of it: the stop goes on in this
# thread. The next Stream, and the interpreter's exit, wait for it.
_stopping: Optional[threading.Thread] = None


def _wait_for_stopping() -> None:
    global _stopping
    if _stopping is not None:
        _stopping.join()
        _stopping = None


atexit.register(_wait_for_stopping)


def _close_reader(reader, previous_choice) -> None:
    """Closes a Stream's reader and gives back the amplifier choice it replaced."""
    _reader.load().qx470_reader_close(reader)
    if previous_choice is not None:
        _reader.choose_amplifier(previous_choice)


class Stream:
    """A running acquisition for long runs, as a context manager.

        with qx470usb.Stream({1: 100, 2: 10}) as stream:
            for item in stream:          # Chunk or Gap items, as they arrive
                ...

    `read_into(channel, array)` fills a caller's int32 array instead, without a copy. One Stream
    is open in a process at a time (the library owns one amplifier); `device` chooses the
    amplifier by serial number when several are attached (see devices())."""

    def __init__(self, rates: Rates, chunk: int = 16384, device: Optional[str] = None):
        if isinstance(chunk, bool) or not isinstance(chunk, numbers.Integral) \
                or not 0 < chunk < 2**31:
            raise ArgumentError("chunk: expected samples per read as a whole number from 1 to "
                                "2**31 - 1, not %r" % (chunk,))
        if device is not None and not isinstance(device, str):
            raise ArgumentError("device: expected a serial number as a string (see devices()), "
                                "not %r" % (device,))
        self.rates: Dict[int, int] = parse_rates(rates)  # kS/s
        self.sample_rates: Dict[int, int] = {ch: ks * 1000 for ch, ks in self.rates.items()}
        self.device = device
        self.gaps: List[Gap] = []
        self.events: List[Event] = []
        self.calibration: Optional[int] = None  # nV per count, from start() on
        self.start_time: Optional[datetime.datetime] = None
        self.info: Optional[Info] = None  # what was driven, from start() on
        self._chunk = int(chunk)
        self._reader = None
        self._previous_choice = None
        # Held for each call into the reader, briefly; re-entrant, so that a mark from a signal
        # handler, which runs on the main thread between two of its steps, never waits on it.
        self._calls = threading.RLock()
        # Held while one thread reads samples: a second reader is refused, not interleaved.
        self._reading = threading.Lock()

    def __enter__(self) -> "Stream":
        self.start()
        return self

    def __exit__(self, *exc) -> bool:
        self.close()
        return False

    def __repr__(self) -> str:
        rates = ", ".join("%d: %d kS/s" % (c, r) for c, r in sorted(self.rates.items()))
        state = "open" if self._reader is not None else "closed"
        source = "; %s" % self.info.bridge if self.info is not None else ""
        device = "; device %s" % self.device if self.device else ""
        return "<Stream %s; %s%s%s>" % (rates, state, source, device)

    def start(self) -> None:
        """Gets the amplifier ready as the console does and starts the acquisition."""
        if self._reader is not None:
            return
        _wait_for_stopping()
        host = _reader.load()
        per_channel = (ctypes.c_int32 * 4)(*[self.rates.get(ch, 0) for ch in (1, 2, 3, 4)])
        reader = ctypes.c_void_p()
        _reader.check(host.qx470_reader_open(per_channel, ctypes.byref(reader)))
        try:
            if self.device:
                self._previous_choice = _reader.chosen_amplifier()
                _reader.choose_amplifier(self.device)
            state = _reader.check_device(prepare=True)
            if not state.calibration_valid:
                warnings.warn("the calibration value could not be read from the EEPROM (got %d); "
                              "using %d" % (state.calibration_read, state.calibration),
                              RuntimeWarning, stacklevel=3)
            self.calibration = state.calibration
            self.info = info()
            _reader.check(host.qx470_reader_start(reader))
        except BaseException:
            host.qx470_reader_close(reader)
            self._restore_choice()
            raise
        self._reader = reader
        # A Stream dropped without close() must not keep the process's one reader: the reader is
        # closed when the Stream is collected, or at exit, whichever comes first.
        self._closer = weakref.finalize(self, _close_reader, reader, self._previous_choice)
        self._previous_choice = None
        self.start_time = datetime.datetime.now(datetime.timezone.utc)

    def _close_later(self) -> None:
        """Closes in a thread of its own (see _stopping); the Stream is closed at once."""
        global _stopping
        with self._calls:
            if self._reader is None:
                return
            self._reader = None
            closer = self._closer
        _wait_for_stopping()
        _stopping = threading.Thread(target=closer, name="qx470usb stop", daemon=True)
        _stopping.start()

    def close(self) -> None:
        """Stops the acquisition; the Stream cannot be read afterwards."""
        with self._calls:
            if self._reader is not None:
                self._reader = None
                self._closer()

    def _restore_choice(self):
        if self._previous_choice is not None:
            _reader.choose_amplifier(self._previous_choice)
            self._previous_choice = None

    def restart(self) -> None:
        """Pauses and restarts the acquisition: every channel then reports a "restart" gap."""
        with self._using() as reader:
            _reader.check(_reader.load().qx470_reader_restart(reader))

    def lost(self, channel: int) -> int:
        """Samples of the channel lost so far."""
        with self._using() as reader:
            return int(_reader.load().qx470_reader_lost(reader, channel - 1))

    def next_index(self, channel: int) -> int:
        """Index of the channel's next sample."""
        with self._using() as reader:
            return int(_reader.load().qx470_reader_next_index(reader, channel - 1))

    def mark(self, text: str, at: Optional[float] = None) -> Event:
        """Puts an event in the recording: at the samples taken now, or at `at` (seconds since
        1970 on the host's system clock, as time.time() gives). Returns it, with the sample of
        each channel it fell on; Stream.events lists them all. Safe from any thread and from a
        signal handler: it waits for a read in progress instead of disturbing it. A time that
        is not finite, or lies more than a second outside the recording, raises ArgumentError."""
        host = _reader.load()
        steady_now = host.qx470_steady_now()
        if at is not None:
            at = _finite("at", at)
        text = _event_text(text)
        index = {}
        with self._using() as reader:
            segments = _reader.clock_segments(reader)
            offset = segments[-1].utc_minus_steady if segments else time.time() - steady_now
            steady = steady_now if at is None else at - offset
            if segments and not (segments[0].steady0 - EVENT_GRACE_SECONDS <= steady
                                 <= host.qx470_steady_now() + EVENT_GRACE_SECONDS):
                raise ArgumentError("at: %r is not a time of this recording (it began at %.3f "
                                    "and runs until now, %.3f)"
                                    % (at, segments[0].steady0 + offset, time.time()))
            for ch in sorted(self.rates):
                n = ctypes.c_uint64()
                if host.qx470_reader_index_at(reader, ch - 1, steady, ctypes.byref(n)) == _reader.OK:
                    index[ch] = int(n.value)
                else:
                    index[ch] = 0  # before the first block: the start
        event = Event(text, steady + offset, index)
        self.events.append(event)
        return event

    def clock(self) -> Clock:
        """Where the samples so far lie on the host's clocks."""
        with self._using() as reader:
            return _clock(reader, self.rates)

    def volts(self, codes) -> np.ndarray:
        """Calibrated volts of raw codes (float64)."""
        if self.calibration is None:
            raise NotRunningError("the Stream has not started: its calibration is not known yet")
        return to_volts(codes, self.calibration)

    def read_into(self, channel: int, array: np.ndarray) -> ReadResult:
        """Fills the start of `array` (a writable, contiguous numpy int32 array) with the
        channel's next samples, straight from the library's run reader. Returns how many with
        the index of the first, or, with count 0, the gap that comes first (then call again);
        count 0 without a gap means nothing new yet. A Stream read from another thread at the
        same time raises BusyError rather than hand out samples at the wrong index."""
        if channel not in self.rates:
            raise ArgumentError("channel %r is not on" % (channel,))
        if not isinstance(array, np.ndarray) or array.dtype != np.int32 or array.ndim != 1 \
                or not array.flags.c_contiguous or not array.flags.writeable:
            raise TypeError("read_into needs a writable one-dimensional C-contiguous int32 array")
        first = ctypes.c_uint64()
        gap = _reader.GapStruct()
        if not self._reading.acquire(blocking=False):
            raise BusyError("the Stream is being read by another thread")
        try:
            with self._using() as reader:
                n = _reader.check(_reader.load().qx470_reader_read(
                    reader, channel - 1, array.ctypes.data_as(ctypes.POINTER(ctypes.c_int32)),
                    min(len(array), 2**31 - 1), ctypes.byref(first), ctypes.byref(gap)))
        finally:
            self._reading.release()
        if n == _reader.READ_GAP:
            g = Gap(channel, int(gap.index), int(gap.count), _reader.gap_word(gap.kind))
            self.gaps.append(g)
            return ReadResult(0, int(gap.index) + int(gap.count), g)
        return ReadResult(n, int(first.value), None)

    def __iter__(self) -> Iterator[Union[Chunk, Gap]]:
        buf = np.empty(self._chunk, dtype=np.int32)
        while True:
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

    def check_stalled(self) -> None:
        """Raises DeviceError when the stream has stopped for good: the amplifier no longer
        answers, or has sent nothing far longer than a stream can pause. Warns once per stall
        when it is quiet but answers."""
        quiet = ctypes.c_double()
        status = ctypes.c_int32()
        with self._using() as reader:
            state = _reader.check(_reader.load().qx470_reader_stalled(
                reader, ctypes.byref(quiet), ctypes.byref(status)))
        if state == _reader.STALL_WAITING:
            warnings.warn("no data for %.3f s, but the amplifier answers: waiting" % quiet.value,
                          RuntimeWarning, stacklevel=2)
        elif state == _reader.STALL_GONE:
            raise DeviceError("the amplifier stopped delivering: " + status_text(status.value))
        elif state == _reader.STALL_SILENT:
            raise DeviceError("the amplifier sent no data for %.3f s" % quiet.value)

    @contextlib.contextmanager
    def _using(self):
        """The running reader, for one call: calls from other threads wait their turn (each is
        short), and close() waits for the call to end."""
        with self._calls:
            if self._reader is None:
                raise NotRunningError("the Stream is not running (use it in a with statement)")
            yield self._reader


class Recording:
    """A finished recording: codes[ch] (numpy uint16 offset-binary codes by channel label),
    rates[ch] (kS/s, as given), sample_rates[ch] (samples per second), calibration (nV per
    count), gaps, start_time (UTC), and info: which amplifier was recorded (Info; info.bridge is
    "simulated amplifier" for the simulator)."""

    def __init__(self, codes: Dict[int, np.ndarray], rates: Dict[int, int], calibration: int,
                 gaps: List[Gap], start_time: datetime.datetime, info: Optional[Info] = None,
                 events: Optional[List[Event]] = None, clock: Optional[Clock] = None):
        self.events: List[Event] = list(events or [])
        self.clock = clock
        self.codes = codes
        self.rates = rates
        self.sample_rates: Dict[int, int] = {ch: ks * 1000 for ch, ks in rates.items()}
        self.calibration = calibration
        self.gaps = gaps
        self.start_time = start_time
        self.info = info
        # What the recorder's files carry besides the samples (load() fills them in).
        self.serial = ""
        self.names: Dict[int, str] = {ch: "Ch%d" % ch for ch in codes}
        self.meta: Dict[str, str] = {}

    def _channel(self, channel) -> int:
        """The channel's label, or ArgumentError naming the channels recorded."""
        if channel not in self.codes:
            raise ArgumentError("channel %r is not in this recording; its channels are %s"
                                % (channel, ", ".join(str(c) for c in sorted(self.codes))))
        return channel

    def array(self, channels=None, codes: bool = False) -> np.ndarray:
        """Frames x channels (all of them, or the labels given, in that order) of channels that
        share one rate: volts (float64), or the codes with codes=True. Channels of different
        lengths (a recording cut short) are cut to the shortest."""
        chans = sorted(self.codes) if channels is None else [self._channel(c) for c in channels]
        rates = {self.rates[c] for c in chans}
        if len(rates) != 1:
            raise ArgumentError("array: channels %s run at %s kS/s; give channels of one rate"
                                % (", ".join(map(str, chans)),
                                   ", ".join(str(self.rates[c]) for c in chans)))
        n = min(len(self.codes[c]) for c in chans)
        cols = [self.codes[c][:n] if codes else self.volts(c)[:n] for c in chans]
        return np.stack(cols, axis=1)

    def volts(self, channel: int) -> np.ndarray:
        """The channel's samples in volts (float64)."""
        return to_volts(self.codes[self._channel(channel)], self.calibration)

    def seconds(self, channel: int) -> np.ndarray:
        """Seconds from the channel's first sample, at its nominal rate."""
        channel = self._channel(channel)
        return np.arange(len(self.codes[channel]), dtype=np.float64) / self.sample_rates[channel]

    def times(self, channel: int) -> np.ndarray:
        """When each of the channel's samples was taken, in seconds since 1970 on the host's
        system clock, from the clock map's fit (each segment its own line)."""
        index = np.arange(len(self.codes[self._channel(channel)]), dtype=np.float64)
        if self.clock is None or not self.clock.segments:
            raise NotRunningError("this recording has no clock map")
        ref = self.clock.reference
        out = np.empty_like(index)
        for k, seg in enumerate(self.clock.segments):
            start = seg.first[channel]
            end = self.clock.segments[k + 1].first[channel] \
                if k + 1 < len(self.clock.segments) else len(index)
            part = slice(int(start) if k else 0, int(end))
            per_sample = 1.0 / seg.rate if seg.rate else 1.0 / self.sample_rates[channel]
            scale = self.sample_rates[ref] / self.sample_rates[channel]
            out[part] = seg.time + (index[part] - start) * scale * per_sample
        return out

    def __repr__(self) -> str:
        chans = ", ".join("%d: %d S at %d kS/s" % (c, len(self.codes[c]), self.rates[c])
                          for c in sorted(self.codes))
        source = "; %s" % self.info.bridge if self.info is not None else ""
        return "<Recording %s; %d gaps%s>" % (chans, len(self.gaps), source)


def record(rates: Rates, seconds: Optional[float] = None, samples: Optional[int] = None,
           device: Optional[str] = None, events=None) -> Recording:
    """Starts the amplifier, records, stops. `rates` maps channel labels 1 to 4 to kS/s (or is
    a string such as "1=100,2=10"); `seconds` of every channel, or `samples` of the fastest
    channel (the others in proportion); `device` chooses the amplifier by serial number;
    `events` is a queue (queue.Queue) that other threads put an event's text into while it
    records, or (text, time) with the time in seconds since 1970 (Recording.events). Lost
    stretches are filled with mid-scale codes and listed in Recording.gaps. The calibration value
    is read, never written."""
    ks = parse_rates(rates)
    want = targets(ks, seconds, samples)
    if events is not None and not callable(getattr(events, "get_nowait", None)):
        raise ArgumentError("events: expected a queue (queue.Queue) that texts or (text, time) "
                            "are put into, not %r" % (events,))
    if device is not None and not isinstance(device, str):
        raise ArgumentError("device: expected a serial number as a string (see devices()), "
                            "not %r" % (device,))
    # The samples as they come (int32) and as they are returned (uint16), before anything starts.
    need = sum(want.values()) * 6
    free = _memory_available()
    if free is not None and need > free:
        raise ArgumentError("%s: the recording needs %.1f GB of memory and %.1f GB are free; "
                            "record to a file with qx470-record, or read a Stream as it comes"
                            % ("seconds" if seconds is not None else "samples", need / 1e9,
                               free / 1e9))
    out = {ch: np.empty(n, dtype=np.int32) for ch, n in want.items()}
    filled = {ch: 0 for ch in want}
    with Stream(ks, device=device) as stream:
        while any(filled[ch] < want[ch] for ch in want):
            progressed = False
            _take_events(stream, events)
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
        _take_events(stream, events)
        codes = {ch: out[ch].astype(np.uint16) for ch in sorted(want)}
        rec = Recording(codes, dict(stream.rates), stream.calibration,
                        [g for g in stream.gaps if g.index < want[g.channel]],
                        stream.start_time, stream.info, stream.events, stream.clock())
        stream._close_later()
        return rec


def _take_events(stream: "Stream", events) -> None:
    """Marks whatever the events queue holds now."""
    if events is None:
        return
    while True:
        try:
            item = events.get_nowait()
        except queue.Empty:
            return
        if isinstance(item, tuple):
            if len(item) != 2:
                raise ArgumentError("events: an item is a text or (text, time), not %r"
                                    % (item,))
            stream.mark(item[0], at=item[1])
        else:
            stream.mark(item)
