"""The ctypes layer against the public header, and the device statuses through it."""

import ctypes
import os
import re
import subprocess
import sys

import pytest

import qx470usb
from qx470usb import lib

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
HEADER = os.path.join(ROOT, "library", "include", "QX470USB.h")

C_TYPES = {"int32_t": ctypes.c_int32, "uint32_t": ctypes.c_uint32,
           "int32_t *": ctypes.POINTER(ctypes.c_int32)}


def header_declarations():
    text = re.sub(r"/\*.*?\*/", "", open(HEADER).read(), flags=re.S)
    decls = {}
    pattern = r"QX470_API\s+(\w+)\s+QX470_CALL\s+(\w+)\(([^)]*)\)"
    for result, name, args in re.findall(pattern, text):
        types = []
        for arg in args.split(","):
            arg = " ".join(arg.split())
            if arg in ("void", ""):
                continue
            m = re.match(r"(u?int32_t)\s*(\*?)\s*\w+$", arg)
            assert m, "unparsed argument %r of %s" % (arg, name)
            types.append(m.group(1) + (" *" if m.group(2) else ""))
        decls[name] = (result, types)
    return decls


def test_every_export_has_the_headers_signature():
    decls = header_declarations()
    assert len(decls) == 20
    assert set(decls) == set(lib.SIGNATURES)
    loaded = lib.load()
    for name, (result, args) in decls.items():
        restype, argtypes = lib.SIGNATURES[name]
        assert restype is C_TYPES[result], name
        assert [a for a in argtypes] == [C_TYPES[a] for a in args], name
        fn = getattr(loaded, name)
        assert fn.restype is restype and fn.argtypes == argtypes, name


def run_python(code, **env):
    full = dict(os.environ, **env)
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=full,
                          cwd=os.path.join(ROOT, "python"), timeout=120)


@pytest.mark.parametrize("attached,powered,status", [("1", "1", 101), ("0", "1", -5), ("1", "0", -8)])
def test_status_as_the_library_gives_it(attached, powered, status):
    r = run_python("import qx470usb; print(qx470usb.status())",
                   QXSIM_ATTACHED=attached, QXSIM_POWERED=powered)
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == str(status)


def test_a_library_that_cannot_be_found_names_the_three_places():
    r = run_python("import qx470usb; qx470usb.status()",
                   QX470USB_LIBRARY=os.path.join(ROOT, "no", "such", "libQX470USB.so"))
    assert r.returncode != 0
    assert "QX470USB_LIBRARY" in r.stderr and "cannot be loaded" in r.stderr
    # Without the variable and outside any build tree, the error lists every place looked at.
    code = ("import sys, qx470usb.lib as l; l._source_root = lambda: '/nonexistent';"
            "l._system_names = lambda *a: ['libQX470USB-none.so'];\n"
            "try:\n    l.load()\nexcept l.LibraryNotFound as e:\n    print(e)")
    r = run_python(code, QX470USB_LIBRARY="")
    assert "$QX470USB_LIBRARY" in r.stdout
    assert "the build tree" in r.stdout
    assert "the system's library path" in r.stdout


def test_the_library_alone_is_enough_and_says_which_amplifier_it_drives():
    # QX470USB_LIBRARY names the library only; the reader lies beside it in a build and an install.
    code = ("import os, qx470usb; i = qx470usb.info(); print(i.bridge); print(i.bridge_file);"
            "print(os.path.dirname(i.reader) == os.path.dirname(i.library)); print(i)")
    r = run_python(code, QX470READER_LIBRARY="")
    assert r.returncode == 0, r.stderr
    kind, bridge_file, beside, line = r.stdout.splitlines()
    assert kind == "simulated amplifier"
    assert os.path.basename(bridge_file) == "libqx470usb_bridge.so.1" and os.path.exists(bridge_file)
    assert beside == "True"
    assert line.startswith("simulated amplifier (%s), through " % bridge_file)


def test_a_process_that_exits_while_acquiring_ends_cleanly():
    # No close, no stop: the exit handlers run while the library's thread waits for data.
    code = ("import time, qx470usb; s = qx470usb.Stream({1: 100, 2: 100}); s.start();"
            "time.sleep(0.02)")
    for _ in range(20):
        r = run_python(code, QXSIM_SPEED="1")
        assert r.returncode == 0, r.stderr
