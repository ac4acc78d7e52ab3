"""Waiting for background work: poll against a generous deadline, never a fixed sleep."""

import time


def eventually(predicate, timeout=20.0, interval=0.002):
    """True once predicate() holds; False if it still does not after `timeout` seconds."""
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            return False
        time.sleep(interval)
    return True


def wait_until(predicate, timeout=20.0, interval=0.005):
    """Like eventually(), but fails the test when the deadline passes."""
    if not eventually(predicate, timeout, interval):
        raise AssertionError(f"condition not met within {timeout} s")


def first_fair(run, tries=3):
    """The first result of up to `tries` calls of run() that is not None. run() returns None
    for a run the machine spoiled: one that put a thread off so long that what it measures is lost."""
    for _ in range(tries):
        if (result := run()) is not None:
            return result
    return None
