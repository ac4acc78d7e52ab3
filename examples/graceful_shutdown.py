"""Graceful shutdown: run until Ctrl+C (or SIGTERM), then stop every timer and job.

    python3 examples/graceful_shutdown.py [SECONDS]

Without SECONDS it runs until Ctrl+C. block_until releases the GIL while it
waits, then writes its "[drovik] ..." lines on standard error, stops all timers
and jobs and swallows the KeyboardInterrupt of that Ctrl+C. Its signal handlers
stay installed afterwards: SIGTERM no longer ends the process by itself.
"""

import sys

import drovik

seconds = float(sys.argv[1]) if len(sys.argv) > 1 else None
ticks = 0


@drovik.precision_timer(200)
def control_step():
    global ticks
    ticks += 1


@drovik.timer(2)
def heartbeat():
    print(f"alive, {ticks} control ticks", flush=True)


# Said before the timers start: the heartbeat prints from another thread, and two
# prints at once may interleave.
print("running; press Ctrl+C to stop" if seconds is None else f"running for {seconds} s", flush=True)
handles = [control_step(), heartbeat()]
wait_ms = None if seconds is None else int(seconds * 1000)
reason, clean = drovik.block_until(wait_ms=wait_ms, shutdown_timeout_ms=2000)
print(f"stopped by {reason}, clean={clean}; timers running: {[h.is_running() for h in handles]}")
print(drovik.get_task_manager())
sys.exit(0 if clean else 1)
