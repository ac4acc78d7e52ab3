import time


def wait_until(predicate, timeout=20.0, interval=0.005):
    """Polls predicate until it holds; fails the test after a generous deadline."""
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            raise AssertionError(f"condition not met within {timeout} s")
        time.sleep(interval)
