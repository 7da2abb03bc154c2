"""The serial number, channel names, subject and notes of a recording, read back by the tools
labs use: MNE for EDF+, soundfile for WAV and FLAC, pandas for CSV, json for the sidecar.

Usage: check_metadata_readers.py PATH_TO_QX470_RECORD
"""
import json
import os
import subprocess
import sys
import tempfile

ARGS = ["--label", "1=Fz,2=EMG", "--subject", "S01", "--meta", "site=lab2", "--meta",
        "task=rest"]


def record(recorder, out, rates):
    env = {k: v for k, v in os.environ.items() if not k.startswith("QXSIM_")}
    env["QXSIM_SPEED"] = "1"  # real time: unpaced, a fast stream outruns the reader
    done = subprocess.run([recorder, "-q", "-r", rates, "-n", "20000", "-o", out] + ARGS,
                          env=env, capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr


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
    print("metadata: read back by MNE, soundfile, pandas and json")


if __name__ == "__main__":
    main()
