"""Cycles through the user's function, its arguments or its result are collected."""

import gc
import threading
import weakref

import pytest

import drovik
from waiting import eventually


class Callback:
    """A user object that keeps what drovik made from it."""

    def __call__(self, *args):
        return None


def timer_handle_through_function(cb):
    return drovik.timer(5.0)(cb)()


def timer_handle_through_arguments(cb):
    return drovik.precision_timer(5.0)(lambda arg: None)(cb)


def async_handle_through_result(cb):
    handle = drovik.run_async(lambda: cb)()
    assert handle.wait(timeout_ms=20_000) is cb
    return handle


CYCLES = {
    "TimerWrapper holds the function": lambda cb: drovik.timer(5.0)(cb),
    "RunAsync holds the function": lambda cb: drovik.run_async(cb),
    "TimerHandle reaches the function": timer_handle_through_function,
    "TimerHandle reaches the arguments": timer_handle_through_arguments,
    "AsyncHandle holds the result": async_handle_through_result,
}


def registry():
    manager = drovik.get_task_manager()
    return manager.total_count, manager.running_count


def released(before):
    """A collected handle leaves the registry, as a released one does, and its timer stops."""
    return all(now <= then for now, then in zip(registry(), before))


@pytest.mark.parametrize("make", CYCLES.values(), ids=CYCLES.keys())
def test_cycle_is_collected(make):
    before = registry()
    cb = Callback()
    cb.back = make(cb)
    alive = weakref.ref(cb)
    del cb
    gc.collect()
    assert alive() is None
    assert eventually(lambda: released(before))


def test_tuple_result_cycle_is_collected():
    # A tuple cannot be cleared by the collector: only the handle can break this cycle.
    marker = object()
    box = []
    gate = threading.Event()
    box.append(drovik.run_async(lambda: (gate.wait(), box[0], marker))())
    gate.set()
    assert box[0].wait(timeout_ms=20_000)[2] is marker
    box.clear()
    gc.collect()
    assert not [o for o in gc.get_objects() if type(o) is tuple and len(o) == 3 and o[2] is marker]
