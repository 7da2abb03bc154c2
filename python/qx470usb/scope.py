"""A live view of the amplifier: the channels in volts against time, updating while it records.

    python3 -m qx470usb.scope                        # all four channels at 50 kS/s, live
    python3 -m qx470usb.scope -r 1=100,2=10          # rates as qx470-record takes them
    python3 -m qx470usb.scope --png view.png --seconds 2   # record, save the picture, no display
"""

import argparse
import sys

import numpy as np

from . import core
from .errors import Error

COLOURS = ("tab:blue", "tab:orange", "tab:green", "tab:red")


class NoDisplay(Exception):
    """The live view has no display to draw on."""


def _size(text):
    try:
        w, h = (int(x) for x in text.lower().split("x"))
    except ValueError:
        raise argparse.ArgumentTypeError("size %r: expected WIDTHxHEIGHT in pixels" % text)
    if not (100 <= w <= 10000 and 100 <= h <= 10000):
        raise argparse.ArgumentTypeError("size %r: 100 to 10000 pixels each way" % text)
    return w, h


def _positive(text):
    try:
        v = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError("%r is not a number of seconds" % text)
    if not v > 0:
        raise argparse.ArgumentTypeError("seconds must be positive")
    return v


def parse_args(argv):
    """The command line: rates, --png, --seconds, --size; exits 2 with a message if wrong."""
    p = argparse.ArgumentParser(prog="python3 -m qx470usb.scope",
                                description="Plot the QX-470-USB's channels in volts.")
    p.add_argument("-r", "--rate", default="1=50,2=50,3=50,4=50", metavar="RATES",
                   help="rates as CH=KS joined by commas, KS one of 1 2 5 10 20 50 100 or off "
                        "(default: all four at 50)")
    p.add_argument("--png", metavar="FILE", help="record, save the plot to FILE and exit")
    p.add_argument("--seconds", type=_positive, default=None,
                   help="with --png: seconds to record (default 1); live: seconds shown (default 2)")
    p.add_argument("--size", type=_size, default=(1200, 800), metavar="WxH",
                   help="picture size in pixels (default 1200x800)")
    args = p.parse_args(argv)
    try:
        args.rates = core.parse_rates(args.rate)
    except core.ArgumentError as e:
        p.error(str(e))
    return args


def _figure(plt, size, rates):
    dpi = 100
    fig, axes = plt.subplots(len(rates), 1, sharex=True, squeeze=False,
                             figsize=(size[0] / dpi, size[1] / dpi), dpi=dpi)
    axes = axes[:, 0]
    for ax, ch in zip(axes, sorted(rates)):
        ax.set_ylabel("Ch%d (V)" % ch)
        ax.grid(True, alpha=0.3)
    axes[-1].set_xlabel("time (s)")
    return fig, axes


def save_png(rates, seconds, path, size):
    """Records for `seconds` and writes the plot to `path` (Agg: no display needed)."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    rec = core.record(rates, seconds=seconds)
    fig, axes = _figure(plt, size, rates)
    for ax, ch in zip(axes, sorted(rates)):
        ax.plot(rec.seconds(ch), rec.volts(ch), color=COLOURS[ch - 1], linewidth=0.6)
        for g in rec.gaps:
            if g.channel == ch:
                ax.axvspan(g.index / rec.sample_rates[ch], (g.index + g.count) / rec.sample_rates[ch],
                           color="grey", alpha=0.3)
    source = "" if rec.info is None or rec.info.bridge == "USB" else " (%s)" % rec.info.bridge
    fig.suptitle("QX-470-USB%s, %s UTC, calibration %d nV per count" %
                 (source, rec.start_time.strftime("%Y-%m-%d %H:%M:%S"), rec.calibration))
    fig.savefig(path, dpi=100)
    plt.close(fig)
    return rec


def live(rates, seconds, size):
    """Shows the last `seconds` of every channel, updated about 20 times a second."""
    import matplotlib
    import matplotlib.pyplot as plt
    from matplotlib.animation import FuncAnimation

    # Without a display matplotlib falls back to a backend that draws nowhere: say so, rather
    # than show nothing and succeed.
    if matplotlib.get_backend().lower() in {b.lower() for b in
                                            matplotlib.rcsetup.non_interactive_bk}:
        raise NoDisplay("no display to show the plot on (matplotlib backend %s): use --png FILE"
                        % matplotlib.get_backend())
    # Two seconds show a slow signal's shape; the ranges follow what is shown.
    span = seconds or 2.0
    fig, axes = _figure(plt, size, rates)
    stream = core.Stream(rates)
    stream.start()
    sps = stream.sample_rates
    keep = {ch: max(2, int(span * sps[ch])) for ch in rates}
    # At most a few thousand points a line are drawn, so that a redraw keeps up.
    step = {ch: max(1, keep[ch] // 4000) for ch in rates}
    shown = {ch: np.full(keep[ch], np.nan) for ch in rates}
    lines = {}
    for ax, ch in zip(axes, sorted(rates)):
        t = (np.arange(keep[ch]) / sps[ch] - span)[::step[ch]]
        (lines[ch],) = ax.plot(t, shown[ch][::step[ch]], color=COLOURS[ch - 1], linewidth=0.6)
        ax.set_xlim(-span, 0)
        ax.set_ylim(-1, 1)
    buf = np.empty(1 << 16, dtype=np.int32)

    def update(_frame):
        for ch in rates:
            while True:
                r = stream.read_into(ch, buf)
                if r.gap is not None:
                    n = min(keep[ch], r.gap.count)
                    if n:  # a lost stretch shows as a hole; a restart with none lost as nothing
                        shown[ch] = np.roll(shown[ch], -n)
                        shown[ch][-n:] = np.nan
                    continue
                if r.count == 0:
                    break
                v = stream.volts(buf[:r.count])[-keep[ch]:]
                shown[ch] = np.roll(shown[ch], -len(v))
                shown[ch][-len(v):] = v
            lines[ch].set_ydata(shown[ch][::step[ch]])
            if np.isfinite(shown[ch]).any():
                lo, hi = np.nanmin(shown[ch]), np.nanmax(shown[ch])
                pad = max((hi - lo) * 0.1, 0.005)
                lines[ch].axes.set_ylim(lo - pad, hi + pad)
        stream.check_stalled()
        return list(lines.values())

    anim = FuncAnimation(fig, update, interval=50, blit=False, cache_frame_data=False)
    try:
        plt.show()
    finally:
        stream.close()
    return anim


def main(argv=None) -> int:
    """Runs the scope; returns the exit status (0 done, 1 device or display, 130 Ctrl-C)."""
    args = parse_args(sys.argv[1:] if argv is None else argv)
    try:
        if args.png:
            rec = save_png(args.rates, args.seconds or 1.0, args.png, args.size)
            lost = sum(g.count for g in rec.gaps if g.kind == "lost")
            print("%s: %s%s" % (args.png, ", ".join(
                "Ch%d %d samples" % (c, len(rec.codes[c])) for c in sorted(rec.codes)),
                "; %d samples lost" % lost if lost else ""), file=sys.stderr)
        else:
            live(args.rates, args.seconds, args.size)
    except (Error, NoDisplay) as e:
        print("qx470usb.scope: %s" % e, file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return 130
    return 0


if __name__ == "__main__":
    sys.exit(main())
