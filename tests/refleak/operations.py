"""Every Python-facing operation of drovik, each as a call that cleans up after itself.

Operations that need a CAN interface are listed only when one answers (a vcan0
or the virtual bus); their error paths run everywhere.
"""

import socket
import sys
import threading
import time
import weakref
from pathlib import Path

import drovik

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "support"))
from peer import wait_until_heard  # noqa: E402
from waiting import wait_until  # noqa: E402

MANAGER = drovik.get_task_manager()
IFACE = "vcan0"


def raises(error, func, *args, **kwargs):
    try:
        func(*args, **kwargs)
    except error:
        return
    raise AssertionError(f"{func!r}{args} did not raise {error.__name__}")


def noop(*args):
    return None


class Tick:
    def __call__(self, *args):
        return None


def released(gone):
    """A stopped timer gives its function back once its loop has ended, after wait_all."""
    def given_back():
        MANAGER.status()  # entering the module runs the releases queued meanwhile
        return gone() is None

    wait_until(given_back, interval=0.001)


def run_timer(decorator):
    tick = Tick()
    gone = weakref.ref(tick)
    wrapper = decorator(tick)
    repr(wrapper)
    handle = wrapper(1, "two")
    (handle.is_running(), handle.frequency(), handle.precision_mode(), handle.tick_count(),
     handle.actual_frequency(), handle.elapsed_secs(), handle.task_id, repr(handle))
    handle.stop()
    assert MANAGER.wait_all(timeout_ms=20_000)
    MANAGER.cleanup()
    del tick, wrapper, handle
    released(gone)


def run_async_result():
    handle = drovik.run_async(lambda a, b: a + b)(1, 2)
    assert handle.wait(timeout_ms=20_000) == 3
    (handle.try_result(), handle.is_done(), handle.is_completed(), handle.is_cancelled(), handle.task_id, repr(handle))
    raises(OverflowError, handle.wait, timeout_ms=-1)
    raises(TypeError, handle.wait, timeout_ms="1")


def run_async_error():
    handle = drovik.run_async(lambda: 1 / 0)()
    raises(RuntimeError, handle.wait, timeout_ms=20_000)
    raises(RuntimeError, handle.try_result)
    raises(RuntimeError, drovik.RunAsync(42)().wait, timeout_ms=20_000)


def run_async_timeout_and_cancel():
    gate = threading.Event()
    handle = drovik.run_async(gate.wait)()
    raises(TimeoutError, handle.wait, timeout_ms=0)
    handle.cancel()
    repr(handle)
    gate.set()
    # Cancelled, the handle no longer waits; the call runs on. Its end frees its pool
    # thread for the next round's call, which would otherwise start a thread of its own.
    wait_until(handle.is_completed, interval=0.001)


def task_manager():
    manager = drovik.TaskManager()
    (manager.status(), manager.running_count, manager.total_count, manager.timer_count, manager.async_task_count)
    manager.cleanup()
    manager.wait_all(timeout_ms=0)
    manager.wait_all(None)
    manager.shutdown(timeout_ms=0)
    manager.stop_all()
    raises(OverflowError, manager.wait_all, timeout_ms=-1)
    raises(TypeError, manager.wait_all, "x")


def argument_errors():
    for frequency in (0.0, -1.0, float("nan"), float("inf")):
        raises(ValueError, drovik.timer, frequency)
        raises(ValueError, drovik.precision_timer, frequency)
    raises(TypeError, drovik.timer, "10")
    raises(TypeError, drovik.timer)
    raises(TypeError, drovik.timer(10.0), 42)
    raises(TypeError, drovik.timer(10.0)(noop), key=1)
    raises(TypeError, drovik.run_async(noop), key=1)
    raises(TypeError, drovik.RunAsync)
    for cls in (drovik.AsyncHandle, drovik.Device, drovik.TimerHandle, drovik.TimerWrapper):
        raises(TypeError, cls)
    raises(OverflowError, drovik.block_all, timeout_ms=-1)
    raises(TypeError, drovik.block_all, "x")
    raises(TypeError, drovik.get_task_manager, 1)


def open_errors():
    for name in ("nosuchcan0", "", "vcan0\0x", "v" * 5000):
        raises(OSError, drovik.CanDevice, name)
    for cls in (drovik.CanDevice, drovik.CanDeviceNonBlocking):
        raises(UnicodeEncodeError, cls, "\ud800")
        raises(TypeError, cls, b"vcan0")
    raises(TypeError, drovik.Motor, IFACE)
    raises(OverflowError, drovik.Motor, IFACE, -1)


def background_open_error():
    """The non-blocking device opens in its task: a failure closes its channel."""
    device = drovik.CanDeviceNonBlocking("nosuchcan1")
    deadline = time.monotonic() + 20
    while time.monotonic() < deadline:
        try:
            device.send(0x1, b"")
        except OSError:
            break
        device.receive_timeout(10)
    else:
        raise AssertionError("the failed open never closed the channel")
    (device.try_receive(), device.receive_timeout(0), device.interface(), repr(device))


def module_functions():
    drovik.block_until(wait_ms=0)
    drovik.shutdown_all(timeout_ms=0)


def blocking_device():
    device = drovik.CanDevice(IFACE)
    listener = drovik.CanDevice(IFACE)
    device.send(0x123, b"\x01\x02")
    device.send(id=0x123456, data=[1, 2, 3])
    assert listener.receive() == (0x123, b"\x01\x02")
    assert listener.receive() == (0x123456, b"\x01\x02\x03")
    (device.interface(), repr(device))
    raises(OSError, device.send, 0x100, bytes(9))
    raises(TypeError, device.send, 0x100, "abc")
    raises(OverflowError, device.send, -1, b"")
    raises(OverflowError, device.send, 0x100, [256])


def nonblocking_device():
    device = drovik.CanDeviceNonBlocking(IFACE)
    listener = drovik.CanDeviceNonBlocking(IFACE)
    wait_until_heard(device.send, lambda: listener.receive_timeout(50))  # both open in the background
    (listener.try_receive(), listener.receive_timeout(0), device.interface(), repr(device))
    raises(TypeError, device.send, 0x100, "abc")
    raises(OverflowError, device.receive_timeout, -1)


def motor():
    m = drovik.Motor(IFACE, 0x100)
    device = m.add_device(0, 0x201, "speed")
    m.add_device(1, 0x202, "position")
    device.set_target(1.5)
    m.set_target(1, -2.0)
    (device.get_target(), device.get_watch_data(), m.get_watch_data(0), m.broadcast_id, repr(m), repr(device))
    m.broadcast()
    raises(ValueError, m.add_device, 2, 0x203, "Torque")
    raises(OverflowError, m.add_device, 256, 0x203, "speed")
    raises(TypeError, m.add_device, 2, 0x203, 5)
    raises(TypeError, device.set_target, "1")


def can_available():
    try:
        with socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW) as probe:
            probe.bind((IFACE,))
        return True
    except (OSError, AttributeError):
        return False


OPERATIONS = [
    ("timer", lambda: run_timer(drovik.timer(200.0))),
    ("Timer class", lambda: run_timer(drovik.Timer(200.0))),
    ("precision_timer", lambda: run_timer(drovik.precision_timer(200.0))),
    ("precision_timer realtime", lambda: run_timer(drovik.PrecisionTimer(200.0, realtime=True))),
    ("run_async result", run_async_result),
    ("run_async error", run_async_error),
    ("run_async time-out and cancel", run_async_timeout_and_cancel),
    ("TaskManager", task_manager),
    ("argument errors", argument_errors),
    ("CAN open errors", open_errors),
    ("CanDeviceNonBlocking open error", background_open_error),
]
if can_available():
    OPERATIONS += [
        ("CanDevice", blocking_device),
        ("CanDeviceNonBlocking", nonblocking_device),
        ("Motor and Device", motor),
    ]
# Last: they install the signal handlers and stop every task.
OPERATIONS.append(("block_until and shutdown_all", module_functions))
