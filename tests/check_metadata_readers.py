"""The serial number, channel names, subject and notes of a recording, read back by the tools
labs use: MNE for EDF+, soundfile for WAV and FLAC, pandas for CSV, json for the sidecar; and
events of any bytes at all, after which MNE, pandas and numpy still read every file.

Usage: check_metadata_readers.py PATH_TO_QX470_RECORD
"""
import json
import os
import socket
import subprocess
import sys
import tempfile
import time

ARGS = ["--label", "1=Fz,2=EMG", "--subject", "S01", "--meta", "site=lab2", "--meta",
        "task=rest"]


def record(recorder, out, rates):
    env = {k: v for k, v in os.environ.items() if not k.startswith("QXSIM_")}
    env["QXSIM_SPEED"] = "1"  # real time: unpaced, a fast stream outruns the reader
    done = subprocess.run([recorder, "-q", "-r", rates, "-n", "20000", "-o", out] + ARGS,
                          env=env, capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr


def hostile_events(recorder, tmp):
    """Every byte value, NUL, a text of invalid bytes only and a 64 KiB datagram as events."""
    import mne
    import numpy
    import pandas
    texts = [bytes([b]) + b" byte" for b in range(256)]
    texts += [b"nul\x00inside", b"\xff\xfe\xc3", b"trial \xff", b"x" * 65000]
    for ext in ("edf", "csv"):
        out = os.path.join(tmp, "hostile." + ext)
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
            probe.bind(("127.0.0.1", 0))
            port = probe.getsockname()[1]
        env = {k: v for k, v in os.environ.items() if not k.startswith("QXSIM_")}
        proc = subprocess.Popen([recorder, "-q", "-r", "1=10", "-t", "5s", "-o", out,
                                 "--events", f"udp:{port}"], env=env, stderr=subprocess.PIPE)
        side = os.path.join(tmp, "hostile.json")
        for _ in range(600):
            if os.path.exists(side) and os.path.getsize(out) > 0:
                break
            proc.poll()
            time.sleep(0.1)
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            for t in texts:
                s.sendto(t, ("127.0.0.1", port))
        _, err = proc.communicate(timeout=120)
        assert proc.returncode == 0, err
        if ext == "edf":
            raw = mne.io.read_raw_edf(out, preload=True, verbose="error")
            texts_read = list(raw.annotations.description)
            # As many as EDF+'s annotation room holds (the journal has them all), invalid bytes
            # shown as U+FFFD.
            assert len(texts_read) > 100 and any("\ufffd" in t for t in texts_read), texts_read
        else:
            frame = pandas.read_csv(out, comment="#")
            assert len(frame) == 50000, len(frame)
            with open(out, encoding="utf-8") as f:
                header = next(i for i, line in enumerate(f) if line.startswith("index,")) + 1
            data = numpy.genfromtxt(out, delimiter=",", skip_header=header)
            assert data.shape == (50000, 2), data.shape
            with open(out, encoding="utf-8") as f:  # strict: raises on an invalid byte
                assert f.read().count("# event:") == len(texts)
        with open(os.path.join(tmp, "hostile.events.jsonl"), encoding="utf-8") as f:
            placed = [e for e in map(json.loads, f) if e["type"] == "event"]
        assert len(placed) == len(texts), len(placed)
        for name in ("hostile.json", "hostile.events.jsonl", out):
            os.remove(name if os.path.isabs(name) else os.path.join(tmp, name))


def main():
    recorder = sys.argv[1]
    with tempfile.TemporaryDirectory() as tmp:
        edf = os.path.join(tmp, "e.edf")
        record(recorder, edf, "1=100,2=10")
        import mne
        raw = mne.io.read_raw_edf(edf, preload=False, verbose="error")
        assert raw.ch_names == ["Fz", "EMG"], raw.ch_names
        # The patient and recording fields as EDF+ lays them out (MNE keeps neither in info).
        with open(edf, "rb") as f:
            header = f.read(256).decode("ascii")
        patient, recording = header[8:88].split(), header[88:168].split()
        assert patient[:4] == ["X", "X", "X", "S01"] and "site=lab2;" in patient, patient
        assert recording[recording.index("SN") + 1] == "QX47000", recording
        assert "312500nV" in recording, recording

        for ext in ("wav", "flac"):
            path = os.path.join(tmp, ext + "." + ext)
            record(recorder, path, "1=100,2=100")
            import soundfile
            info = soundfile.info(path)
            with soundfile.SoundFile(path) as f:
                tags = f.copy_metadata()
            assert "serial QX47000" in tags.get("comment", ""), (ext, tags)
            assert "Fz EMG" in tags.get("comment", ""), (ext, tags)
            assert "site=lab2" in tags.get("comment", ""), (ext, tags)
            assert tags.get("title") == "S01", (ext, tags)
            assert info.channels == 2

        csv = os.path.join(tmp, "c.csv")
        record(recorder, csv, "1=100,2=100")
        import pandas
        frame = pandas.read_csv(csv, comment="#")
        assert list(frame.columns) == ["index", "Fz", "EMG"], frame.columns
        with open(csv) as f:
            head = [line for line in f if line.startswith("#")]
        assert "# serial: QX47000\n" in head and "# meta: site=lab2\n" in head, head

        with open(os.path.join(tmp, "c.json")) as f:
            side = json.load(f)
        assert side["serial"] == "QX47000" and side["subject"] == "S01"
        assert side["names"] == {"Ch1": "Fz", "Ch2": "EMG"}
        assert side["meta"] == {"site": "lab2", "task": "rest"}
        hostile_events(recorder, tmp)
    print("metadata and hostile events: read back by MNE, soundfile, pandas, numpy and json")


if __name__ == "__main__":
    main()
