"""record() and Stream against the simulated amplifier: samples, volts, gaps, arguments."""

import ctypes
import time

import numpy as np
import pytest

import qx470usb
from qx470usb import core


def pattern(sim, channel, start, count):
    return np.array([sim.qxsim_pattern_value(channel - 1, start + i) for i in range(count)],
                    dtype=np.uint16)


def stream_offset(sim, channel, codes):
    """Where in the amplifier's pattern the recording begins (priming discards a few frames)."""
    for k in range(0, 2000):
        if np.array_equal(pattern(sim, channel, k, 8), codes[:8]):
            return k
    raise AssertionError("channel %d does not start on the test pattern: %s" % (channel, codes[:8]))


def test_every_channel_at_mixed_rates_sample_by_sample(sim):
    rates = {1: 100, 2: 20, 3: 5, 4: 1}
    rec = qx470usb.record(rates, samples=50000)
    assert rec.gaps == []
    assert {ch: len(rec.codes[ch]) for ch in rates} == {1: 50000, 2: 10000, 3: 2500, 4: 500}
    assert rec.rates == rates
    assert rec.sample_rates == {1: 100000, 2: 20000, 3: 5000, 4: 1000}
    assert rec.calibration == 312500
    for ch in rates:
        codes = rec.codes[ch]
        assert codes.dtype == np.uint16
        k = stream_offset(sim, ch, codes)
        # Sample by sample on the pattern: a word the device dropped would break the sequence.
        np.testing.assert_array_equal(codes, pattern(sim, ch, k, len(codes)), "channel %d" % ch)


def test_a_recording_says_which_amplifier_it_came_from(sim):
    rec = qx470usb.record({1: 10}, samples=1000)
    assert rec.info == qx470usb.info()
    assert rec.info.bridge == "simulated amplifier"
    assert "simulated amplifier" in repr(rec)
    with qx470usb.Stream({1: 10}) as stream:
        assert "open; simulated amplifier" in repr(stream)


def test_seconds_and_volts(sim):
    rec = qx470usb.record({2: 10}, seconds=0.25)
    assert list(rec.codes) == [2] and len(rec.codes[2]) == 2500
    v = rec.volts(2)
    assert v.dtype == np.float64
    np.testing.assert_allclose(v, (rec.codes[2].astype(float) - 32768) * 312500e-9)
    assert rec.seconds(2)[-1] == pytest.approx(2499 / 10000)


def test_volts_at_the_extreme_codes():
    v = qx470usb.to_volts(np.array([0, 32768, 65535], dtype=np.uint16), 312500)
    np.testing.assert_allclose(v, [-10.24, 0.0, 32767 * 312500e-9])
    assert qx470usb.to_volts([0], 300001)[0] == pytest.approx(-32768 * 300001e-9)


def test_a_stalled_reader_gets_its_gap_with_the_extent(sim):
    buf = np.empty(4096, dtype=np.int32)
    with qx470usb.Stream({1: 100, 2: 100, 3: 100, 4: 100}) as s:
        # 63 blocks last 2.6 s at this rate; wait until far more than that has gone by.
        first = s.read_into(1, buf)
        assert first.gap is None
        sim.qxsim_set_speed(20.0)
        time.sleep(1.5)
        # Slow again, so that a busy machine's reader is not lapped a second time while it
        # catches up: one gap, then samples.
        sim.qxsim_set_speed(0.05)
        results = []
        while True:
            r = s.read_into(1, buf)
            results.append(r)
            if r.count:
                break
        gaps = [r.gap for r in results if r.gap is not None]
        assert len(gaps) == 1
        gap = gaps[0]
        assert gap.kind == "lost" and gap.channel == 1
        assert gap.index == first.first + first.count
        assert gap.count > 63 * 4096
        assert results[-1].first == gap.index + gap.count, "reading resumes right after the gap"
        assert s.lost(1) == gap.count
        assert s.gaps == [gap]


def test_words_lost_below_the_library_are_a_realign_gap_and_the_samples_stay_right(sim):
    # The device drops three words: without the realignment every later sample would be another
    # channel's. The stream starts afresh; the gap keeps the time it took.
    rates = {1: 20, 2: 20, 3: 20}
    sim.qxsim_drop_words.argtypes = [ctypes.c_ulonglong]
    got = {ch: [] for ch in rates}
    gaps = []
    with qx470usb.Stream(rates) as s:
        t_drop = time.monotonic() + 0.3
        dropped = False
        for item in s:
            if isinstance(item, qx470usb.Gap):
                gaps.append(item)
                got[item.channel].append(item)
            else:
                got[item.channel].append(item)
            if not dropped and time.monotonic() > t_drop:
                sim.qxsim_drop_words(3)
                dropped = True
            if len(gaps) == 3 and all(sum(len(x.codes) for x in got[ch]
                                          if isinstance(x, qx470usb.Chunk)) > 30000
                                      for ch in rates):
                break
    assert sorted(g.channel for g in gaps) == [1, 2, 3]
    assert all(g.kind == "realign" for g in gaps)
    for ch in rates:
        before, after = [], []
        for item in got[ch]:
            if isinstance(item, qx470usb.Gap):
                before, after = after, []
                continue
            after.append(item.codes)
        after = np.concatenate(after)
        # The new stream is the test pattern from its first sample after priming.
        k = stream_offset(sim, ch, after)
        assert k < 10
        np.testing.assert_array_equal(after, pattern(sim, ch, k, len(after)), "channel %d" % ch)


def test_stream_yields_chunks_in_order(sim):
    seen = {1: 0, 3: 0}
    with qx470usb.Stream({1: 10, 3: 2}) as s:
        for item in s:
            assert isinstance(item, qx470usb.Chunk), item
            assert item.index == seen[item.channel]
            assert item.codes.dtype == np.uint16
            seen[item.channel] += len(item.codes)
            if seen[1] >= 20000 and seen[3] >= 4000:
                break
    with pytest.raises(qx470usb.NotRunningError):
        s.read_into(1, np.empty(10, dtype=np.int32))


@pytest.mark.parametrize("rates,kwargs,message", [
    ({5: 100}, {"seconds": 1}, "channels are 1 to 4"),
    ({1: 7}, {"seconds": 1}, "rates are 1 2 5 10 20 50 100"),
    ({1: 0}, {"seconds": 1}, "no channel is on"),
    ({1: 100}, {}, "seconds or samples"),
    ({1: 100}, {"seconds": 1, "samples": 5}, "seconds or samples"),
    ({1: 100}, {"seconds": -1}, "positive"),
    ({1: 100}, {"seconds": "1s"}, "expected a number"),
    ({1: 100}, {"samples": 2.5}, "whole number"),
    ({1: True}, {"seconds": 1}, "expected kS/s"),
    ([100], {"seconds": 1}, "expected a mapping"),
    ("1=100,2=fast", {"seconds": 1}, "rates are"),
    ("1=100,1=10", {"seconds": 1}, "twice"),
    ("1=100,", {"seconds": 1}, "trailing comma"),
    ({1: 100}, {"samples": 2**70}, r"below 2\*\*63"),
    ({1: 100}, {"seconds": float("inf")}, "finite"),
    ({1: 100}, {"seconds": 10**400}, "finite"),
    ({1: 100}, {"seconds": 1, "device": 123}, "device: expected a serial number"),
    ({1: 100}, {"seconds": 1, "events": ["a"]}, "events: expected a queue"),
    ({1: 100, 2: 100, 3: 100, 4: 100}, {"seconds": 20000}, "GB of memory"),
])
def test_bad_arguments_are_refused_before_the_device_is_touched(sim, rates, kwargs, message):
    with pytest.raises(qx470usb.ArgumentError, match=message) as e:
        qx470usb.record(rates, **kwargs)
    assert isinstance(e.value, ValueError) and isinstance(e.value, qx470usb.Error)


def test_one_stream_at_a_time_and_a_dropped_one_frees_its_place(sim):
    with qx470usb.Stream({1: 100}):
        with pytest.raises(qx470usb.BusyError, match="another reader is open"):
            with qx470usb.Stream({2: 10}):
                pass
    with qx470usb.Stream({2: 10}) as again:
        assert again.next_index(2) == 0
    # Never closed, only dropped: the next Stream still opens.
    qx470usb.Stream({1: 10}).start()
    with qx470usb.Stream({2: 10}) as after:
        assert after.next_index(2) == 0


def test_one_stream_read_from_two_threads_is_refused_not_interleaved(sim):
    import threading
    spans = []
    with qx470usb.Stream({1: 100}) as s:

        def reader():
            buf = np.empty(64, dtype=np.int32)
            deadline = time.monotonic() + 60
            while sum(n for _, n in spans) < 50000 and time.monotonic() < deadline:
                try:
                    r = s.read_into(1, buf)
                except qx470usb.BusyError:
                    continue
                # Samples and gaps carry their own index: together they must tile the stream.
                if r.gap is not None:
                    spans.append((r.gap.index, r.gap.count))
                elif r.count:
                    spans.append((r.first, r.count))

        threads = [threading.Thread(target=reader) for _ in range(2)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    spans.sort()
    for (a, n), (b, _) in zip(spans, spans[1:]):
        assert a + n == b, "samples handed out twice or skipped"
    assert spans and spans[0][0] == 0


def test_read_into_wants_an_int32_array(sim):
    with qx470usb.Stream({1: 100}) as s:
        with pytest.raises(TypeError):
            s.read_into(1, np.empty(10, dtype=np.int64))
        with pytest.raises(ValueError):
            s.read_into(2, np.empty(10, dtype=np.int32))


def test_no_device_and_not_powered_raise(sim):
    sim.qxsim_set_attached(0)
    with pytest.raises(qx470usb.DeviceError, match="no QX-470-USB found"):
        qx470usb.record({1: 100}, samples=10)
    sim.qxsim_set_attached(1)
    sim.qxsim_set_powered(0)
    sim.qxsim_set_timeout_scale(0.01)
    with pytest.raises(qx470usb.DeviceError, match="is it powered"):
        qx470usb.record({1: 100}, samples=10)


def test_the_mapping_takes_what_the_string_takes():
    assert core.parse_rates("1=100,2=off,4=1") == {1: 100, 4: 1}
    assert core.parse_rates({1: 100, 2: "off", 4: "1"}) == {1: 100, 4: 1}
    assert core.parse_rates({1: 50, 2: None, 3: 0}) == {1: 50}
    assert qx470usb.rates_available() == (100, 50, 20, 10, 5, 2, 1)


def test_a_stream_on_a_serial_number_that_is_not_attached_names_the_attached_one(sim):
    attached = qx470usb.devices()
    assert len(attached) == 1 and attached[0].description.startswith("QX-470")
    assert attached[0].bridge == "simulated amplifier"
    with pytest.raises(qx470usb.DeviceError, match="serial number 'NOSUCH'.*attached: %s"
                       % attached[0].serial):
        qx470usb.record({1: 10}, samples=100, device="NOSUCH")
    # The choice ends with the Stream: the amplifier is there again.
    assert qx470usb.devices() == attached
    rec = qx470usb.record({1: 10}, samples=100, device=attached[0].serial)
    assert len(rec.codes[1]) == 100


def test_every_sample_has_its_host_time_and_events_land_at_their_samples(sim):
    import queue
    events = queue.Queue()
    before = time.time()
    events.put("start")
    rec = qx470usb.record({1: 100, 2: 10}, seconds=1.0, events=events)
    after = time.time()
    t = rec.times(1)
    assert before - 0.5 < t[0] < t[-1] < after + 0.5
    # The fit's spacing is the rate the host's clock measured (the simulator keeps the host's
    # time); a second of notes pins it to within a percent.
    assert np.diff(t).mean() == pytest.approx(1e-5, rel=1e-2)
    assert rec.times(2)[-1] == pytest.approx(t[-1], abs=2e-3), "the channels agree in time"
    assert rec.clock.segments and abs(rec.clock.segments[0].ppm) < 10000
    (start,) = rec.events
    assert start.text == "start" and start.index[1] < 20000 and start.index[2] * 10 <= 20000

    with qx470usb.Stream({1: 100}) as s:
        buf = np.empty(100000, dtype=np.int32)
        got = 0
        while got < 150000:
            got += s.read_into(1, buf).count
        now = s.mark("now")
        earlier = s.mark("earlier", at=time.time() - 1.0)
        # Now is about what has been read, and at most a block beyond it; a second earlier is a
        # second's samples before (the line through a few seconds of notes, to 2 %).
        assert got - 2000 <= now.index[1] < s.next_index(1) + 16384 + 2000
        assert now.index[1] - earlier.index[1] == pytest.approx(100000, rel=0.02)
        assert s.events == [now, earlier]


def test_streams_refuse_arguments_that_cannot_work_before_the_device_is_touched(sim):
    for kwargs, message in (({"chunk": 0}, "chunk: expected"), ({"chunk": 2**40}, "chunk"),
                            ({"chunk": 1.5}, "chunk"), ({"device": 123}, "device: expected")):
        with pytest.raises(qx470usb.ArgumentError, match=message):
            qx470usb.Stream({1: 100}, **kwargs)
    rec = qx470usb.record({1: 10, 3: 1}, samples=100)
    with pytest.raises(qx470usb.ArgumentError, match="channel 0 is not in this recording; "
                       "its channels are 1, 3"):
        rec.volts(0)
    with pytest.raises(qx470usb.ArgumentError, match="its channels are 1, 3"):
        rec.times(2)


def test_marks_at_times_that_are_not_of_the_recording_are_refused(sim):
    import queue
    with qx470usb.Stream({1: 100}) as s:
        buf = np.empty(100000, dtype=np.int32)
        while s.read_into(1, buf).count == 0:
            pass
        for at in (float("nan"), float("inf"), 0, 10**400, -5, time.time() - 3600,
                   time.time() + 3600):
            with pytest.raises(qx470usb.ArgumentError, match="at:"):
                s.mark("x", at=at)
        assert s.events == []
        # Any bytes become text that every file takes.
        assert s.mark(b"trial \xff").text == "trial \ufffd"
        assert s.mark("lone \udcff").text == "lone ?"
    for item, message in ((("x", float("nan")), "at:"), (("x",), "an item is a text or")):
        q = queue.Queue()
        q.put(item)
        with pytest.raises(qx470usb.ArgumentError, match=message):
            qx470usb.record({1: 10}, seconds=1, events=q)


def test_marks_from_threads_and_a_signal_handler_all_land_and_never_stop_the_reading(sim):
    import signal
    import threading
    per_thread, threads_n = 300, 4
    alarms = []
    with qx470usb.Stream({1: 100}) as s:

        def marker(k):
            for i in range(per_thread):
                s.mark("t%d-%d" % (k, i))

        def on_alarm(signum, frame):
            alarms.append(s.mark("alarm"))

        previous = signal.signal(signal.SIGALRM, on_alarm)
        signal.setitimer(signal.ITIMER_REAL, 0.01, 0.01)
        try:
            threads = [threading.Thread(target=marker, args=(k,)) for k in range(threads_n)]
            for t in threads:
                t.start()
            deadline = time.monotonic() + 60
            items = 0
            for item in s:
                items += 1
                if not any(t.is_alive() for t in threads) and len(alarms) >= 5:
                    break
                assert time.monotonic() < deadline
        finally:
            signal.setitimer(signal.ITIMER_REAL, 0, 0)
            signal.signal(signal.SIGALRM, previous)
        for t in threads:
            t.join()
    assert items > 0
    assert len(s.events) == per_thread * threads_n + len(alarms)



def test_a_recording_at_the_slowest_rate_returns_with_its_first_block(sim):
    # Twice real time: a block of Ch1 alone at 1 kS/s lasts 8.2 s. The recording is returned once
    # its samples are in, not after the block in progress too; the next one waits for that stop.
    sim.qxsim_set_speed(2.0)
    began = time.monotonic()
    rec = qx470usb.record({1: 1}, seconds=1)
    took = time.monotonic() - began
    assert len(rec.codes[1]) == 1000
    assert 7.0 < took < 13.0, took
    rec = qx470usb.record({1: 100}, samples=1000)
    assert len(rec.codes[1]) == 1000
