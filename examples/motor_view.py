"""What motor_control.py shows: samples per tick, a live terminal view, the summary and the plot."""

import statistics
from array import array
from collections import Counter

FEEDBACK_OF_MODE = {"speed": "speed", "position": "position", "current": "current"}
WATCH_FIELDS = ("position", "speed", "current")  # a sample's order of a driver's feedback
UNIT_OF_MODE = {"speed": "rad/s", "position": "rad", "current": "A"}


class Recorder:
    """Samples of every control tick. Appended on the timer thread, read by the view.

    Kept in flat arrays of floats, which hold no objects: a long run's history
    gives the interpreter's garbage collections, which run inside ticks, nothing
    to go through (kept as lists of lists and dicts, it made them last tens of
    milliseconds after a few minutes).
    """

    def __init__(self, drivers, broadcast_id):
        self.drivers = [(slot, feedback_id, mode) for slot, feedback_id, mode, _ in drivers]
        self.broadcast_id = broadcast_id
        self.times = array("d")
        self.targets = array("d")   # per tick, one per driver
        self.feedback = array("d")  # per tick, WATCH_FIELDS per driver
        self.bus_frames = Counter()
        self._logged = 0

    def add(self, t, targets, feedback):
        self.targets.extend(targets)
        self.feedback.extend(watch[field] for watch in feedback for field in WATCH_FIELDS)
        self.times.append(t)  # last: a reader that sees the time sees the whole sample

    def sample(self, i):
        """Tick i's targets, and each driver's feedback in the order of WATCH_FIELDS."""
        drivers, fields = len(self.drivers), len(WATCH_FIELDS)
        feedback = self.feedback[i * drivers * fields:(i + 1) * drivers * fields]
        return (self.targets[i * drivers:(i + 1) * drivers],
                [feedback[d * fields:(d + 1) * fields] for d in range(drivers)])

    def series(self, driver, field, first, end):
        """One driver's target (field None) or feedback field over ticks first to end."""
        drivers = len(self.drivers)
        if field is None:
            return self.targets[first * drivers + driver:end * drivers:drivers]
        fields = len(WATCH_FIELDS)
        step = drivers * fields
        return self.feedback[first * step + driver * fields + WATCH_FIELDS.index(field):end * step:step]

    def count_bus_frames(self, monitor):
        while (frame := monitor.try_receive()) is not None:
            self.bus_frames[frame[0]] += 1

    def csv_header(self):
        columns = ["t"]
        for slot, _, _ in self.drivers:
            columns += [f"target{slot}", f"position{slot}", f"speed{slot}", f"current{slot}"]
        return ",".join(columns)

    def take_unlogged(self):
        end = len(self.times)
        rows = []
        for i in range(self._logged, end):
            row = [self.times[i]]
            for target, watch in zip(*self.sample(i)):
                row += [target, *watch]
            rows.append(row)
        self._logged = end
        return rows

    def lateness_us(self, period, last=None):
        # The view asks five times a second: it looks at the last ticks only.
        return grid_lateness_us(self.times[-last:] if last else self.times[:], period)


def grid_lateness_us(times, period, bin_us=2.0):
    """Each tick's delay behind its deadline, in microseconds.

    A periodic timer's deadlines lie on a grid phase + k * period. A tick never
    starts before its deadline, and one more than a period late makes the timer
    skip the deadlines it missed, so a tick's offset within the period is the
    grid's phase plus its delay. The phase is unknown (the timer thread starts a
    moment after the call), but most ticks crowd just behind their deadlines:
    the phase is the earliest offset of that crowd, grown backwards bin by bin
    while the bins stay populated, so a stray late tick that wrapped past a
    period does not pass for the grid.
    """
    if not times:
        return []
    period_us = period * 1e6
    bins = int(period_us // bin_us) + 1
    offsets = [(t % period) * 1e6 for t in times]
    counts = Counter(int(offset // bin_us) for offset in offsets)
    first = counts.most_common(1)[0][0]
    populated = max(2, len(offsets) // 1000)
    for _ in range(bins - 1):
        if counts[(first - 1) % bins] < populated:
            break
        first = (first - 1) % bins
    phase = min(offset for offset in offsets if int(offset // bin_us) == first)
    return [(offset - phase) % period_us for offset in offsets]


def percentiles(values, points=(50, 90, 99)):
    if len(values) < 2:
        return {p: float("nan") for p in points} | {"max": float("nan")}
    cuts = statistics.quantiles(values, n=100, method="inclusive")
    return {p: cuts[p - 1] for p in points} | {"max": max(values)}


class LiveView:
    """Redraws a few lines in place on a terminal; prints one line a second otherwise."""

    def __init__(self, iface, seconds, out):
        self.iface, self.seconds, self.out = iface, seconds, out
        self.tty = out.isatty()
        self.drawn = 0
        self.last_line = -1.0

    def draw(self, recorder, handle, ages, bus):
        """`ages`: each slot's Device.feedback_age(); `bus`: the Motor's bus_state()."""
        n = len(recorder.times)
        if n < 2:
            return
        t = recorder.times[n - 1]
        period = 1.0 / handle.frequency()
        late = percentiles(recorder.lateness_us(period, last=int(handle.frequency())))
        feedback_total = sum(recorder.bus_frames[fid] for _, fid, _ in recorder.drivers)
        timer_line = (f"timer {handle.actual_frequency():7.1f} Hz of {handle.frequency():.0f}, {handle.tick_count()} "
                      f"ticks, lateness p50 {late[50]:.0f} us p99 {late[99]:.0f} us (last second)")
        bus_line = (f"bus   {recorder.bus_frames[recorder.broadcast_id]} broadcasts, {feedback_total} feedback frames, "
                    f"{bus['state']}, {bus['error_frames']} error frames, {bus['rx_dropped']} dropped, "
                    f"{bus['tx_failed']} not sent")
        if not self.tty:
            if t - self.last_line >= 1.0:
                self.last_line = t
                self.out.write(f"[{t:5.1f} s] {timer_line}; {bus_line}\n")
                self.out.flush()
            return
        limit = f" / {self.seconds:.0f} s" if self.seconds > 0 else ""
        lines = [f"drovik motor demo on {self.iface}: {t:5.1f} s{limit}, Ctrl+C stops",
                 f"slot  mode      {'target':>9} {'position':>9} {'speed':>9} {'current':>9} {'age ms':>8}"]
        for (slot, _, mode), target, watch, age in zip(recorder.drivers, *recorder.sample(n - 1), ages):
            shown_age = f"{age * 1000:8.1f}" if age is not None else f"{'-':>8}"
            lines.append(f"{slot:>4}  {mode:<8}  {target:9.3f}" + "".join(f" {value:9.3f}" for value in watch)
                         + f" {shown_age}")
        lines += [timer_line, bus_line]
        up = f"\x1b[{self.drawn}F" if self.drawn else ""
        self.out.write(up + "".join(f"\x1b[2K{line}\n" for line in lines))
        self.out.flush()
        self.drawn = len(lines)

    def close(self):
        self.out.write("\n" if self.tty else "")
        self.out.flush()


def summary(recorder, handle, reason, clean, log_path):
    n = len(recorder.times)
    span = recorder.times[-1] - recorder.times[0] if n > 1 else 0.0
    rate = (n - 1) / span if span > 0 else 0.0
    timing = handle.timing()  # the timer's own account of its whole run
    lines = [
        "summary",
        f"  control loop   {n} ticks in {span:.2f} s: {rate:.1f} Hz achieved of {handle.frequency():.0f} Hz",
        f"  lateness       p50 {timing['late_p50_us']:.1f} us, p99 {timing['late_p99_us']:.0f} us, "
        f"max {timing['late_max_us']:.0f} us; {timing['missed']} ticks skipped; "
        f"the tick's own work p99 {timing['call_p99_us']:.0f} us",
        f"  frames sent    {n} broadcasts (seen on the bus: {recorder.bus_frames[recorder.broadcast_id]})",
        "  frames recvd   " + ", ".join(f"slot {slot} (0x{fid:X}): {recorder.bus_frames[fid]}"
                                        for slot, fid, _ in recorder.drivers),
        f"  shutdown       {reason}, {'all tasks stopped' if clean else 'timed out'}",
        f"  log            {log_path}",
    ]
    for (slot, _, mode), error in zip(recorder.drivers, tracking_errors(recorder)):
        lines.append(f"  slot {slot} {mode:<8} mean |target - {FEEDBACK_OF_MODE[mode]}| over the last half: "
                     f"{error:.3f} {UNIT_OF_MODE[mode]}")
    return "\n".join(lines)


def tracking_errors(recorder):
    n = len(recorder.times)
    errors = []
    for i, (_, _, mode) in enumerate(recorder.drivers):
        targets = recorder.series(i, None, n // 2, n)
        feedback = recorder.series(i, FEEDBACK_OF_MODE[mode], n // 2, n)
        diffs = [abs(target - value) for target, value in zip(targets, feedback)]
        errors.append(statistics.fmean(diffs) if diffs else float("nan"))
    return errors


def plot(recorder, rate, path):
    try:
        import matplotlib
    except ImportError:
        return "plot skipped: matplotlib is not installed (pip install matplotlib)"
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    n = len(recorder.times)
    times = recorder.times[:n]
    rows = len(recorder.drivers) + 1
    figure, axes = plt.subplots(rows, 1, figsize=(10, 2.2 * rows), constrained_layout=True)
    for i, ((slot, _, mode), ax) in enumerate(zip(recorder.drivers, axes)):
        key = FEEDBACK_OF_MODE[mode]
        ax.plot(times, recorder.series(i, None, 0, n), label="target", linewidth=1.2)
        ax.plot(times, recorder.series(i, key, 0, n), label=f"feedback {key}", linewidth=1.0)
        ax.set_ylabel(f"slot {slot}\n{mode} ({UNIT_OF_MODE[mode]})")
        ax.legend(loc="upper right", fontsize="small")
    axes[-2].set_xlabel("time (s)")
    lateness = recorder.lateness_us(1.0 / rate)
    axes[-1].hist(lateness, bins=100, log=True)
    axes[-1].set_xlabel(f"tick lateness behind the {rate:.0f} Hz grid (us)")
    axes[-1].set_ylabel("ticks")
    figure.savefig(path, dpi=110)
    plt.close(figure)
    return f"plot written to {path}"
