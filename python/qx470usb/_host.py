"""The host-side continuous reader (libqx470host) through ctypes.

The reading itself (the 64-bit sample index, the library's boundary steps, lost stretches and
restarts) lives once, in C++; this module only declares its calls. The reader library is looked
for beside the QX470USB library that lib.load() found, then in the build tree, then on the
system's library path.
"""

import ctypes
import os
from ctypes import POINTER, c_double, c_int32, c_uint64, c_void_p

from . import lib

GAP_LOST = 1
GAP_RESTART = 2
GAP_REALIGN = 3
GAP_CLOCK = 4
GAP_KINDS = {GAP_LOST: "lost", GAP_RESTART: "restart", GAP_REALIGN: "realign", GAP_CLOCK: "clock"}
READ_GAP = -1
READ_BAD_ARGUMENT = -2


class GapStruct(ctypes.Structure):
    _fields_ = [("channel", c_int32), ("kind", c_int32), ("index", c_uint64), ("count", c_uint64)]


SIGNATURES = {
    "qx470_reader_open": (c_void_p, [POINTER(c_int32)]),
    "qx470_reader_close": (None, [c_void_p]),
    "qx470_reader_start": (c_int32, [c_void_p]),
    "qx470_reader_stop": (None, [c_void_p]),
    "qx470_reader_restart": (c_int32, [c_void_p]),
    "qx470_reader_read": (c_int32, [c_void_p, c_int32, POINTER(c_int32), c_int32,
                                    POINTER(c_uint64), POINTER(GapStruct)]),
    "qx470_reader_next_index": (c_uint64, [c_void_p, c_int32]),
    "qx470_reader_lost": (c_uint64, [c_void_p, c_int32]),
    "qx470_reader_behind_seconds": (c_double, [c_void_p, c_int32]),
    "qx470_bridge": (c_int32, [ctypes.c_char_p, c_int32]),
}

# What qx470_bridge returns, in words.
BRIDGE_KINDS = {1: "simulated amplifier", 2: "USB", 3: "emulated USB"}

_host = None
_path = None


def load():
    """The reader library, loaded once, after the library it reads from."""
    global _host, _path
    if _host is None:
        lib.load()
        loaded_from = lib.library_path()
        beside = os.path.dirname(os.path.abspath(loaded_from)) if os.sep in loaded_from else None
        host = None
        if beside and not os.environ.get("QX470HOST_LIBRARY"):
            for name in ("libqx470host.so.1", "libqx470host.so", "qx470host.dll"):
                path = os.path.join(beside, name)
                if os.path.exists(path):
                    host = ctypes.CDLL(path)
                    _path = path
                    break
        if host is None:
            host, _path = lib.find("qx470host", "QX470HOST_LIBRARY")
        for name, (restype, argtypes) in SIGNATURES.items():
            fn = getattr(host, name)
            fn.restype = restype
            fn.argtypes = argtypes
        _host = host
    return _host


def library_path():
    """Where the reader library was loaded from."""
    load()
    return _path


def bridge():
    """(kind in words, the bridge library's path) of the bridge the loaded library drives."""
    buf = ctypes.create_string_buffer(4096)
    kind = load().qx470_bridge(buf, len(buf))
    return BRIDGE_KINDS.get(kind, "unknown"), os.fsdecode(buf.value)
