"""Reading what qx470-record wrote: any of its files, with the sidecar beside it (NAME.json) and
its event journal, into the same Recording that record() returns."""

import datetime
import json
import os
import re
import xml.etree.ElementTree as ET
from typing import Dict, Iterator, List, Tuple

import numpy as np

from .core import Clock, ClockSegment, Event, Gap, Recording
from .errors import ArgumentError, Error

_LABEL = re.compile(r"^Ch([1-4])$")


def _channel(label: str) -> int:
    m = _LABEL.match(label)
    if not m:
        raise Error("the sidecar names a channel %r; expected Ch1 to Ch4" % label)
    return int(m.group(1))


def _time(text: str) -> float:
    return datetime.datetime.fromisoformat(text.replace("Z", "+00:00")).timestamp()


def _sidecar_of(path: str) -> str:
    """NAME.json beside NAME.ext, or beside NAME_<rate>kSps.ext (one file per rate)."""
    stem = os.path.splitext(path)[0]
    if path.endswith(".json"):
        return path
    for candidate in (stem + ".json", re.sub(r"_\d+kSps$", "", stem) + ".json"):
        if os.path.exists(candidate):
            return candidate
    raise Error("%s has no sidecar: qx470-record writes NAME.json beside it" % path)


def _frames(path: str, fmt: str, entry: dict, side: dict) -> np.ndarray:
    """The file's samples as signed counts, frames x channels of this rate."""
    n = len(entry["channels"])
    samples = int(entry.get("samples", entry["frames"]))
    if fmt == "raw .dat":
        data = np.fromfile(path, dtype=side.get("dtype", "<i2"))
        return data[:len(data) // n * n].reshape(-1, n)[:samples]
    if fmt in ("WAV", "FLAC"):
        try:
            import soundfile
        except ImportError:
            raise Error("reading %s needs soundfile (Debian: python3-soundfile)" % fmt) from None
        data, _ = soundfile.read(path, dtype="int16", frames=samples, always_2d=True)
        return data
    if fmt == "CSV":
        with open(path) as f:
            rows = [line.rstrip("\n").split(",") for line in f
                    if line and not line.startswith("#")][1:]
        cols = np.zeros((len(rows), n), dtype=np.float64)
        for i, row in enumerate(rows):
            for k, field in enumerate(row[1:1 + n]):
                if field:
                    cols[i, k] = float(field)
        if side.get("values") == "volts":
            cols = np.rint(cols / side["volts_per_count"])
        return cols.astype(np.int16)[:samples]
    if fmt == "EDF+":
        return _edf_signals(path, entry, side)[:samples]
    if fmt == "XDF":
        volts = _xdf_volts(path, entry)
        counts = np.rint(np.nan_to_num(volts.astype(np.float64) / side["volts_per_count"]))
        return counts.astype(np.int16)[:samples]
    raise Error("%s: format %r is not one qx470-record writes" % (path, fmt))


def _xdf_chunks(path: str) -> Iterator[Tuple[int, bytes]]:
    """Each whole chunk's tag and content; a chunk cut short (a killed recording) ends it."""
    with open(path, "rb") as f:
        data = f.read()
    if data[:4] != b"XDF:":
        raise Error("%s is not an XDF file" % path)
    pos = 4
    while pos < len(data):
        width = data[pos]
        if width not in (1, 4, 8):
            return
        start = pos + 1 + width
        length = int.from_bytes(data[pos + 1:start], "little")
        if length < 2 or start + length > len(data):
            return
        yield int.from_bytes(data[start:start + 2], "little"), data[start + 2:start + length]
        pos = start + length


def _xdf_volts(path: str, entry: dict) -> np.ndarray:
    """The samples of the rate's stream, frames x channels, in volts (NaN where lost)."""
    n = len(entry["channels"])
    stream, parts = None, []
    for tag, body in _xdf_chunks(path):
        sid = int.from_bytes(body[:4], "little")
        if tag == 2 and stream is None:
            info = ET.fromstring(body[4:])
            if (info.findtext("channel_format") == "float32"
                    and float(info.findtext("nominal_srate") or 0) == float(entry["rate"])
                    and int(info.findtext("channel_count") or 0) == n):
                stream = sid
        elif tag == 3 and sid == stream:
            width = body[4]
            count = int.from_bytes(body[5:5 + width], "little")
            # qx470-record gives every sample its time: 8, the time, the values.
            rows = np.frombuffer(body, dtype=[("bytes", "u1"), ("t", "<f8"), ("v", "<f4", (n,))],
                                 count=count, offset=5 + width)
            if np.any(rows["bytes"] != 8):
                raise Error("%s: a sample without its time, not as qx470-record writes" % path)
            parts.append(rows["v"])
    if stream is None:
        raise Error("%s holds no stream of %d channels at %s samples/s" % (path, n, entry["rate"]))
    return np.concatenate(parts) if parts else np.zeros((0, n), dtype=np.float32)


def _edf_signals(path: str, entry: dict, side: dict) -> np.ndarray:
    with open(path, "rb") as f:
        head = f.read(256)
        header_bytes = int(head[184:192])
        records = int(head[236:244])
        signals = int(head[252:256])
        rest = f.read(header_bytes - 256)
    labels = [rest[16 * i:16 * i + 16].decode("ascii", "replace").strip() for i in range(signals)]
    at = signals * (16 + 80 + 8 + 8 + 8 + 8 + 8 + 80)
    per_record = [int(rest[at + 8 * i:at + 8 * i + 8]) for i in range(signals)]
    data = np.fromfile(path, dtype="<i2", offset=header_bytes)
    data = data[:records * sum(per_record)].reshape(records, sum(per_record))
    names = side.get("names", {})
    out = []
    for label in entry["channels"]:
        name = names.get(label, label)
        if name not in labels:
            raise Error("%s has no signal %r" % (path, name))
        i = labels.index(name)
        start = sum(per_record[:i])
        out.append(data[:, start:start + per_record[i]].reshape(-1))
    return np.stack(out, axis=1)


def load(path: str) -> Recording:
    """The recording qx470-record wrote to `path` (a data file or its sidecar): codes by channel
    label (uint16, offset binary, as record() gives them; lost samples are mid-scale), gaps,
    events, the clock map, the calibration value and the start time."""
    if not isinstance(path, (str, os.PathLike)):
        raise ArgumentError("path: expected a file name, not %r" % (path,))
    path = os.fspath(path)
    side_path = _sidecar_of(path)
    with open(side_path) as f:
        side = json.load(f)
    folder = os.path.dirname(side_path)
    codes: Dict[int, np.ndarray] = {}
    rates: Dict[int, int] = {}
    for entry in side["files"]:
        frames = _frames(os.path.join(folder, entry["file"]), side["format"], entry, side)
        for k, label in enumerate(entry["channels"]):
            ch = _channel(label)
            codes[ch] = (frames[:, k].astype(np.int32) + 32768).astype(np.uint16)
            rates[ch] = int(entry["rate"]) // 1000
    gaps: List[Gap] = []
    events: List[Event] = []
    journal = os.path.join(folder, side["journal"]) if side.get("journal") else None
    if journal and os.path.exists(journal):
        with open(journal) as f:
            for line in f:
                item = json.loads(line)
                if item.get("type") == "event":
                    events.append(Event(item["text"], _time(item["utc"]),
                                        {_channel(k): int(v) for k, v in item["index"].items()}))
                elif item.get("type") == "gap":
                    gaps.append(Gap(_channel(item["channel"]), int(item["index"]),
                                    int(item["count"]), item["kind"]))
    else:
        gaps = [Gap(_channel(g["channel"]), int(g["index"]), int(g["count"]), g["kind"])
                for g in side.get("gaps", [])]
    clock = None
    if side.get("clock"):
        c = side["clock"]
        segments = [ClockSegment(int(s["stream"]), {_channel(k): int(v) for k, v in s["first"].items()},
                                 _time(s["utc_of_first"]), float(s["rate"]), float(s["ppm"]),
                                 float(s.get("residual_s", 0.0))) for s in c["segments"]]
        clock = Clock(_channel(c["reference"]), float(c["nominal_rate"]),
                      [tuple(p) for p in c.get("pairs", [])], segments)
    start = datetime.datetime.fromisoformat(side["start"].replace("Z", "+00:00"))
    rec = Recording(codes, rates, int(side["calibration_nv_per_count"]), gaps, start,
                    None, events, clock)
    rec.serial = side.get("serial", "")
    rec.names.update({_channel(k): v for k, v in side.get("names", {}).items()})
    rec.meta = dict(side.get("meta", {}))
    return rec
