"""The library's twenty exports through ctypes, with their exact C signatures.

The library is looked for in three places, in this order: the path in the environment variable
QX470USB_LIBRARY; the build tree this package sits in (``build/lib/`` beside ``python/``); the
system's library path (for a package installed with the libraries, their folder first). Channel numbers here are the library's, 0 to 3.
"""

import ctypes
import ctypes.util
import os
import struct
import sys
from ctypes import POINTER, c_int32, c_uint32

from .errors import Error

__all__ = ["load", "SIGNATURES", "LibraryNotFound", "library_path"]

_i32p = POINTER(c_int32)

# name: (result, argument types), as QX470USB.h declares them.
SIGNATURES = {
    "Start_Acquisition": (c_int32, [c_int32]),
    "Stop_Acquisition": (c_int32, []),
    "Get_Blocks_Transferred": (c_uint32, []),
    "Get_DataPoint": (c_int32, [c_int32, c_uint32]),
    "Set_Sample_Rate": (c_int32, [c_int32, c_int32]),
    "Get_Sample_Rate": (c_int32, [c_int32]),
    "Do_Autozero": (c_int32, []),
    "Do_Cal_On": (c_int32, []),
    "Do_Cal_Off": (c_int32, []),
    "LV_Start_Acquisition": (c_int32, []),
    "Get_Data_Samples": (c_int32, [_i32p, c_int32, c_uint32, c_int32]),
    "Get_Trigger": (c_int32, [_i32p, c_int32, c_uint32, c_int32, c_int32, c_int32]),
    "Get_Sample_Modulus": (c_int32, [c_int32]),
    "Set_Sample_Boundary": (c_int32, [c_int32]),
    "Get_QX470USB_Status": (c_int32, []),
    "Get_Current_DataPoint": (c_int32, [c_int32]),
    "Restart_Acquisition": (c_int32, []),
    "Pause_Acquisition": (c_int32, []),
    "Set_Calibration_Data": (c_int32, [c_int32]),
    "Get_Calibration_Data": (c_int32, []),
}


class LibraryNotFound(Error, OSError):
    """The library could be found in none of the places looked at."""


def _file_name(stem):
    if sys.platform == "win32":
        return stem + ".dll"
    if sys.platform == "darwin":
        return "lib" + stem + ".dylib"
    return "lib" + stem + ".so"


def _source_root():
    # python/qx470usb/lib.py -> the repository root
    return os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def _build_tree_dirs():
    # A build tree is laid out as an install: the shared libraries in lib/ (DLLs in bin/).
    root = _source_root()
    if sys.platform == "win32":
        bits = "x86_64" if struct.calcsize("P") == 8 else "i686"
        return [os.path.join(root, "build-windows-" + bits, "bin"), os.path.join(root, "build", "bin")]
    return [os.path.join(root, "build", "lib")]


def _system_names(stem, soversion):
    names = []
    found = ctypes.util.find_library(stem)
    if found:
        names.append(found)
    if sys.platform.startswith("linux"):
        names.append("lib%s.so.%d" % (stem, soversion))
    names.append(_file_name(stem))
    return names


def _installed_dir():
    """The library folder of the prefix this package was installed into with the libraries."""
    try:
        from . import _installed
    except ImportError:
        return None
    here = os.path.dirname(os.path.abspath(__file__))
    return os.path.normpath(os.path.join(here, _installed.LIBDIR))


def find(stem, env, soversion=1, stdcall=False):
    """Loads the shared library `stem`: from $env, else the build tree, else the system. Its
    calls are stdcall on 32-bit Windows when `stdcall` says so, cdecl everywhere else."""
    win32 = sys.platform == "win32" and struct.calcsize("P") == 4
    loader = ctypes.WinDLL if (stdcall and win32) else ctypes.CDLL
    tried = []
    path = os.environ.get(env)
    if path:
        try:
            return loader(path), path
        except OSError as e:
            raise LibraryNotFound("%s=%s cannot be loaded: %s" % (env, path, e)) from None
    tried.append("$%s (not set)" % env)
    for d in _build_tree_dirs():
        candidate = os.path.join(d, _file_name(stem))
        if os.path.exists(candidate):
            return loader(candidate), candidate
    tried.append("the build tree (%s)" % _build_tree_dirs()[0])
    installed = _installed_dir()
    if installed:
        for name in (_file_name(stem) + ".%d" % soversion, _file_name(stem)):
            candidate = os.path.join(installed, name)
            if os.path.exists(candidate):
                return loader(candidate), candidate
    for name in _system_names(stem, soversion):
        try:
            return loader(name), name
        except OSError:
            pass
    tried.append("the system's library path (%s)" % _file_name(stem))
    raise LibraryNotFound(
        "%s not found; looked at %s. Build it (scripts/console.sh or cmake), install it, or set %s "
        "to its path." % (_file_name(stem), ", ".join(tried), env)
    )


_lib = None
_path = None


def load():
    """The library, loaded once per process, with every export's signature set."""
    global _lib, _path
    if _lib is None:
        lib, path = find("QX470USB", "QX470USB_LIBRARY", stdcall=True)
        for name, (restype, argtypes) in SIGNATURES.items():
            fn = getattr(lib, name)
            fn.restype = restype
            fn.argtypes = argtypes
        _lib, _path = lib, path
    return _lib


def library_path():
    """Where the library was loaded from (after load())."""
    load()
    return _path
