"""The ctypes declarations of the reader library against its C header: every call, every
structure and every code, so that a change on one side cannot leave the other behind."""

import ctypes
import os
import re

from qx470usb import _reader

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
HEADER = os.path.join(ROOT, "reader", "qx470_reader.h")

SCALARS = {"int32_t": ctypes.c_int32, "uint32_t": ctypes.c_uint32, "uint64_t": ctypes.c_uint64,
           "double": ctypes.c_double}
STRUCTS = {"qx470_amplifier": _reader.AmplifierStruct,
           "qx470_device_check": _reader.DeviceCheckStruct,
           "qx470_bridge_node": _reader.BridgeNodeStruct,
           "qx470_gap": _reader.GapStruct,
           "qx470_clock_segment": _reader.ClockSegmentStruct,
           "qx470_clock_pair": _reader.ClockPairStruct}


def header_text():
    return re.sub(r"/\*.*?\*/", "", open(HEADER).read(), flags=re.S)


def c_type(decl):
    """The ctypes type of one declaration's type, as _reader declares it for a call."""
    decl = " ".join(decl.replace("const ", "").split())
    array = re.search(r"\[\d+\]$", decl)
    base = re.sub(r"\s*\w+(\[\d+\])?$", "", decl) if not decl.endswith("*") else decl
    stars = base.count("*") + (1 if array else 0)
    base = base.replace("*", "").strip()
    if base == "char" and stars == 1:
        return ctypes.c_char_p
    if base == "void" and stars == 0:
        return None
    if base == "qx470_reader":
        return ctypes.c_void_p if stars == 1 else ctypes.POINTER(ctypes.c_void_p)
    t = STRUCTS.get(base) or SCALARS[base]
    for _ in range(stars):
        t = ctypes.POINTER(t)
    return t


def declarations():
    decls = {}
    for result, name, args in re.findall(r"QX470_READER_API\s+([\w\s\*]+?)\s*\b(qx470_\w+)\(([^)]*)\)",
                                         header_text()):
        params = [a.strip() for a in args.split(",") if a.strip() not in ("", "void")]
        decls[name] = (result, params)
    return decls


def test_every_call_has_the_headers_signature():
    decls = declarations()
    assert set(decls) == set(_reader.SIGNATURES)
    for name, (result, params) in decls.items():
        restype, argtypes = _reader.SIGNATURES[name]
        want_result = c_type(result + " r")
        assert restype is want_result or restype == want_result, name
        for k, (param, got) in enumerate(zip(params, argtypes)):
            want = c_type(param)
            assert got is want or got == want, "%s argument %d: %r" % (name, k, param)
        assert len(params) == len(argtypes), name


def test_every_structure_has_the_headers_fields_in_order():
    text = header_text()
    for cname, struct in STRUCTS.items():
        body = re.search(r"typedef struct %s \{(.*?)\} %s;" % (cname, cname), text, re.S)
        assert body, cname
        fields = []
        for line in body.group(1).split(";"):
            line = " ".join(line.split())
            if not line:
                continue
            base, names = line.split(" ", 1)
            for n in names.split(","):
                n = n.strip()
                m = re.match(r"(\w+)(?:\[(\d+)\])?$", n)
                t = ctypes.c_char if base == "char" else SCALARS[base]
                fields.append((m.group(1), t * int(m.group(2)) if m.group(2) else t))
        got = [(n, t) for n, t in struct._fields_]
        assert [n for n, _ in got] == [n for n, _ in fields], cname
        for (n, t), (_, want) in zip(got, fields):
            assert ctypes.sizeof(t) == ctypes.sizeof(want) and \
                getattr(t, "_type_", t) == getattr(want, "_type_", want), (cname, n)


def test_every_code_the_package_names_is_the_headers():
    codes = {name: int(value) for name, value in
             re.findall(r"\b(QX470_[A-Z_]+)\s*=\s*(-?\d+)", header_text())}
    assert codes, "no codes found"
    named = 0
    for name, value in codes.items():
        short = name[len("QX470_"):]
        if hasattr(_reader, short):
            assert getattr(_reader, short) == value, name
            named += 1
    assert named >= 12
    # Every code a call can return has words, and every gap kind a word.
    loaded = _reader.load()
    for name, value in codes.items():
        if name.startswith("QX470_ERR_") or name == "QX470_OK":
            assert loaded.qx470_result_words(value), name
        if name.startswith("QX470_GAP_"):
            assert _reader.gap_word(value) == name[len("QX470_GAP_"):].lower()
