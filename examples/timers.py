"""Timers of each mode and their statistics.

    python3 examples/timers.py [SECONDS]     (default 2)

timer(): the shared runtime's millisecond timer, about 1-10 ms precision.
precision_timer(): a dedicated thread that sleeps, then spins, about 10-100 us.
precision_timer(realtime=True): spins longer for steadier timing; the only
mode allowed above 10 kHz. Keep every handle: dropping one stops its timer.
"""

import sys
import time

import drovik

seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 2.0
calls = {"normal": 0, "high": 0, "realtime": 0}


@drovik.timer(50)
def slow(name):
    calls[name] += 1


@drovik.precision_timer(500)
def fast(name):
    calls[name] += 1


@drovik.precision_timer(2000, realtime=True)
def fastest(name):
    calls[name] += 1


# Each call starts a new timer; the positional arguments are passed on every tick.
handles = [slow("normal"), fast("high"), fastest("realtime")]
print(drovik.get_task_manager())
time.sleep(seconds)

for handle in handles:
    handle.stop()
    print(f"{handle.precision_mode():>8}: {handle.tick_count():6d} ticks, "
          f"{handle.actual_frequency():8.1f} Hz of {handle.frequency():.0f} Hz over {handle.elapsed_secs():.2f} s")
    print(f"          {handle!r}")
print(f"calls seen by the functions: {calls}")
print(drovik.get_task_manager().status())
