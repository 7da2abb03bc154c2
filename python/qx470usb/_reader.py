"""The reader library (libqx470reader) through ctypes: its calls declared once, and the one
place where its result codes become exceptions.

Every decision a host makes (the rate list and its parser, sample targets, the device check and
what statuses mean, when a stalled stream means the amplifier is gone, the continuous reader
itself) lives once, in C++; this module only calls it. The reader library is looked for beside
the QX470USB library that lib.load() found, then in the build tree, then on the system's library
path.
"""

import ctypes
import os
from ctypes import POINTER, c_char_p, c_double, c_int32, c_uint32, c_uint64, c_void_p

from . import lib
from .errors import ArgumentError, BusyError, DeviceError, Error, NotRunningError

OK = 0
READ_GAP = -1
ERR_BAD_ARGUMENT = -2
ERR_NO_MEMORY = -3
ERR_BUSY = -4
ERR_REFUSED = -6
ERR_NOT_STARTED = -7
ERR_BRIDGE = -9
STALL_NONE, STALL_WAITING, STALL_SILENT, STALL_GONE = 0, 1, 2, 3
UNBOUNDED = 2**64 - 1
_TEXT = 4096


class GapStruct(ctypes.Structure):
    _fields_ = [("channel", c_int32), ("kind", c_int32), ("index", c_uint64), ("count", c_uint64)]


class AmplifierStruct(ctypes.Structure):
    _fields_ = [("serial", ctypes.c_char * 64), ("description", ctypes.c_char * 64),
                ("location", c_uint32)]


class BridgeNodeStruct(ctypes.Structure):
    _fields_ = [("serial", ctypes.c_char * 16), ("description", ctypes.c_char * 64),
                ("location", c_uint32), ("flags", c_uint32)]


class DeviceCheckStruct(ctypes.Structure):
    _fields_ = [(name, c_int32) for name in (
        "status", "calibration_read", "calibration", "calibration_valid", "shunt_off",
        "calibration_min", "calibration_max", "calibration_default")]


class ClockSegmentStruct(ctypes.Structure):
    _fields_ = [("stream", c_int32), ("reference", c_int32), ("first", c_uint64 * 4),
                ("steady0", c_double), ("seconds_per_sample", c_double), ("residual", c_double),
                ("utc_minus_steady", c_double), ("notes", c_uint64)]


class ClockPairStruct(ctypes.Structure):
    _fields_ = [("index", c_uint64), ("steady", c_double), ("utc", c_double)]


_i32p = POINTER(c_int32)
_u64p = POINTER(c_uint64)
SIGNATURES = {
    "qx470_result_words": (c_char_p, [c_int32]),
    "qx470_reader_version": (c_char_p, []),
    "qx470_rates": (c_int32, [_i32p, c_int32]),
    "qx470_parse_rates": (c_int32, [c_char_p, _i32p, c_char_p, c_int32]),
    "qx470_sample_targets": (c_int32, [_i32p, c_double, c_uint64, _u64p, c_char_p, c_int32]),
    "qx470_amplifiers": (c_int32, [POINTER(AmplifierStruct), c_int32]),
    "qx470_choose_amplifier": (c_int32, [c_char_p]),
    "qx470_chosen_amplifier": (c_int32, [c_char_p, c_int32]),
    "qx470_bridge_nodes": (c_int32, [POINTER(BridgeNodeStruct), c_int32]),
    "qx470_amplifier_holder": (c_int32, [c_char_p, POINTER(c_int32), c_char_p, c_int32]),
    "qx470_check_device": (c_int32, [c_int32, POINTER(DeviceCheckStruct)]),
    "qx470_status_words": (c_int32, [c_int32, c_char_p, c_int32]),
    "qx470_gap_words": (c_char_p, [c_int32]),
    "qx470_reader_open": (c_int32, [_i32p, POINTER(c_void_p)]),
    "qx470_reader_close": (None, [c_void_p]),
    "qx470_reader_start": (c_int32, [c_void_p]),
    "qx470_reader_stop": (c_int32, [c_void_p]),
    "qx470_reader_restart": (c_int32, [c_void_p]),
    "qx470_reader_read": (c_int32, [c_void_p, c_int32, _i32p, c_int32, _u64p,
                                    POINTER(GapStruct)]),
    "qx470_reader_next_index": (c_uint64, [c_void_p, c_int32]),
    "qx470_reader_lost": (c_uint64, [c_void_p, c_int32]),
    "qx470_reader_behind_seconds": (c_double, [c_void_p, c_int32]),
    "qx470_reader_stalled": (c_int32, [c_void_p, POINTER(c_double), _i32p]),
    "qx470_steady_now": (c_double, []),
    "qx470_reader_clock_segments": (c_int32, [c_void_p, POINTER(ClockSegmentStruct), c_int32]),
    "qx470_reader_clock_pairs": (c_int32, [c_void_p, POINTER(ClockPairStruct), c_int32]),
    "qx470_reader_index_at": (c_int32, [c_void_p, c_int32, c_double, _u64p]),
    "qx470_bridge": (c_int32, [c_char_p, c_int32]),
    "qx470_bridge_words": (c_char_p, [c_int32]),
}

_reader = None
_path = None


def load():
    """The reader library, loaded once, after the library it reads from."""
    global _reader, _path
    if _reader is None:
        lib.load()
        loaded_from = lib.library_path()
        beside = os.path.dirname(os.path.abspath(loaded_from)) if os.sep in loaded_from else None
        found = None
        if beside and not os.environ.get("QX470READER_LIBRARY"):
            for name in ("libqx470reader.so.1", "libqx470reader.so", "qx470reader.dll"):
                path = os.path.join(beside, name)
                if os.path.exists(path):
                    found = ctypes.CDLL(path), path
                    break
        if found is None:
            found = lib.find("qx470reader", "QX470READER_LIBRARY")
        for name, (restype, argtypes) in SIGNATURES.items():
            fn = getattr(found[0], name)
            fn.restype = restype
            fn.argtypes = argtypes
        _reader, _path = found
    return _reader


def library_path():
    """Where the reader library was loaded from."""
    load()
    return _path


def check(result, message=b""):
    """Returns a result that is not an error; raises the package's exception for one that is.
    `message` is the text a call wrote about a refused argument."""
    if result >= 0 or result == READ_GAP:
        return result
    words = message.decode(errors="replace") if message else \
        load().qx470_result_words(result).decode()
    if result == ERR_BAD_ARGUMENT:
        raise ArgumentError(words)
    if result == ERR_NO_MEMORY:
        raise MemoryError(words)
    if result == ERR_BUSY:
        raise BusyError(words)
    if result == ERR_NOT_STARTED:
        raise NotRunningError(words)
    if result in (ERR_REFUSED, ERR_BRIDGE):
        raise DeviceError(words)
    raise Error(words)


def rates():
    """The rates the amplifier runs at, in kS/s, fastest first."""
    buf = (c_int32 * 16)()
    n = load().qx470_rates(buf, len(buf))
    return tuple(buf[:n])


def parse_rates(text):
    """kS/s by library channel (a list of four) from "1=100,2=off"; ArgumentError if wrong."""
    out = (c_int32 * 4)()
    why = ctypes.create_string_buffer(_TEXT)
    check(load().qx470_parse_rates(os.fsencode(text), out, why, _TEXT), why.value)
    return list(out)


def sample_targets(rates_ks, seconds, samples):
    """Samples per library channel for `seconds` or `samples` (UNBOUNDED for neither)."""
    out = (c_uint64 * 4)()
    why = ctypes.create_string_buffer(_TEXT)
    check(load().qx470_sample_targets((c_int32 * 4)(*rates_ks), float(seconds), int(samples), out,
                                      why, _TEXT), why.value)
    return list(out)


def amplifiers():
    """(serial, description, location) of each amplifier the bridge lists."""
    reader = load()
    n = check(reader.qx470_amplifiers(None, 0))
    buf = (AmplifierStruct * max(n, 1))()
    n = min(check(reader.qx470_amplifiers(buf, len(buf))), len(buf))
    return [(a.serial.decode(errors="replace"), a.description.decode(errors="replace"),
             int(a.location)) for a in buf[:n]]


def chosen_amplifier():
    buf = ctypes.create_string_buffer(256)
    load().qx470_chosen_amplifier(buf, len(buf))
    return buf.value.decode(errors="replace")


def choose_amplifier(serial):
    check(load().qx470_choose_amplifier(serial.encode() if serial else None))


def status_words(status):
    buf = ctypes.create_string_buffer(_TEXT)
    load().qx470_status_words(status, buf, _TEXT)
    return buf.value.decode(errors="replace")


def check_device(prepare):
    """The device check: a DeviceCheckStruct; DeviceError, with the reason, if not ready."""
    state = DeviceCheckStruct()
    result = load().qx470_check_device(1 if prepare else 0, ctypes.byref(state))
    if result in (ERR_BAD_ARGUMENT, ERR_NO_MEMORY):
        check(result)
    if result != OK:
        raise DeviceError("QX-470-USB: " + status_words(state.status))
    return state


def gap_word(kind):
    word = load().qx470_gap_words(kind)
    return word.decode() if word else "lost"


def bridge():
    """(kind in words, the bridge library's path) of the bridge the loaded library drives."""
    buf = ctypes.create_string_buffer(_TEXT)
    kind = load().qx470_bridge(buf, _TEXT)
    return load().qx470_bridge_words(kind).decode(), os.fsdecode(buf.value)


def version():
    return load().qx470_reader_version().decode()


def clock_segments(reader):
    """Every segment of the reader's clock map, as ClockSegmentStruct."""
    host = load()
    n = check(host.qx470_reader_clock_segments(reader, None, 0))
    buf = (ClockSegmentStruct * max(n, 1))()
    n = min(check(host.qx470_reader_clock_segments(reader, buf, len(buf))), len(buf))
    return list(buf[:n])


def clock_pairs(reader):
    """The notes kept at about one a second: (index, steady, utc)."""
    host = load()
    n = check(host.qx470_reader_clock_pairs(reader, None, 0))
    buf = (ClockPairStruct * max(n, 1))()
    n = min(check(host.qx470_reader_clock_pairs(reader, buf, len(buf))), len(buf))
    return [(int(p.index), p.steady, p.utc) for p in buf[:n]]
