"""Background jobs with run_async: results, time-outs, errors and cancellation.

    python3 examples/async_jobs.py

Each call of a run_async function runs it once on a runtime worker thread and
returns an AsyncHandle at once. wait() releases the GIL while it waits;
try_result() does not wait at all. Jobs occupy a worker while they run, so keep
them short: long waits inside a job hold back other background work.
"""

import time

import drovik


@drovik.run_async
def slow_square(x, seconds):
    time.sleep(seconds)
    return x * x


@drovik.run_async
def fails():
    raise ValueError("bad input")


job = slow_square(7, 0.5)
print(f"started {job!r}; try_result() -> {job.try_result()}")
try:
    job.wait(timeout_ms=10)
except TimeoutError as error:
    print(f"wait(timeout_ms=10): {error}")  # the job keeps running
print(f"wait(timeout_ms=5000) -> {job.wait(timeout_ms=5000)}; {job!r}")

broken = fails()
try:
    broken.wait(timeout_ms=5000)
except RuntimeError as error:
    print(f"the job raised, wait() reports: {error}")

# cancel() only marks the handle: a job that already runs still finishes.
running = slow_square(3, 0.3)
running.cancel()
print(f"cancelled: is_cancelled()={running.is_cancelled()} is_done()={running.is_done()} {running!r}")

jobs = [slow_square(n, 0.01) for n in range(8)]
print(f"eight jobs: {[j.wait(timeout_ms=5000) for j in jobs]}")
print(drovik.get_task_manager())
