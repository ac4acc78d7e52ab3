"""Decorators, wrappers and handles as Python sees them: messages, reprs, arguments."""
import math
import re

import drovik
import pytest

from waiting import wait_until

NOT_POSITIVE = "frequency_hz must be positive"
ABOVE_10K = "frequency > 10kHz requires realtime=True"
NOT_FINITE = "frequency_hz must be a finite number"
ZERO_PERIOD = "frequency_hz is too high: its period rounds to zero nanoseconds"


def noop(*args):
    pass


DECORATORS = {
    "timer": lambda f: drovik.timer(f),
    "Timer": lambda f: drovik.Timer(f),
    "high": lambda f: drovik.precision_timer(f),
    "PrecisionTimer": lambda f: drovik.PrecisionTimer(f),
    "realtime": lambda f: drovik.precision_timer(f, realtime=True),
    "realtime_kw": lambda f: drovik.PrecisionTimer(frequency_hz=f, realtime=True),
}


@pytest.mark.parametrize(
    "decorator, frequency, message",
    [
        ("timer", 0, NOT_POSITIVE),
        ("Timer", -5, NOT_POSITIVE),
        ("high", 0.0, NOT_POSITIVE),
        ("realtime", 0, NOT_POSITIVE),
        ("realtime", -1e-300, NOT_POSITIVE),
        ("high", 20000.0, ABOVE_10K),
        ("PrecisionTimer", 10000.000001, ABOVE_10K),
        ("high", math.inf, ABOVE_10K),
        ("timer", math.nan, NOT_FINITE),
        ("timer", math.inf, NOT_FINITE),
        ("high", math.nan, NOT_FINITE),
        ("realtime", math.inf, NOT_FINITE),
        ("timer", 3e9, ZERO_PERIOD),
        ("realtime_kw", 1e300, ZERO_PERIOD),
    ],
)
def test_rejected_frequencies(decorator, frequency, message):
    with pytest.raises(ValueError) as info:
        DECORATORS[decorator](frequency)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "decorator, frequency",
    [("timer", 1e6), ("timer", 1.9e9), ("high", 10000.0), ("realtime", 20000), ("realtime", 1e9), ("Timer", 1)],
)
def test_accepted_frequencies(decorator, frequency):
    DECORATORS[decorator](frequency)


@pytest.mark.parametrize(
    "make, expected",
    [
        (lambda: drovik.timer(100.0), "TimerWrapper(frequency=100Hz, mode=normal)"),
        (lambda: drovik.Timer(10), "TimerWrapper(frequency=10Hz, mode=normal)"),
        (lambda: drovik.timer(0.5), "TimerWrapper(frequency=0.5Hz, mode=normal)"),
        (lambda: drovik.timer(0.1), "TimerWrapper(frequency=0.1Hz, mode=normal)"),
        (lambda: drovik.timer(1e-7), "TimerWrapper(frequency=0.0000001Hz, mode=normal)"),
        (lambda: drovik.timer(123456789.125), "TimerWrapper(frequency=123456789.125Hz, mode=normal)"),
        (lambda: drovik.precision_timer(1000), "TimerWrapper(frequency=1000Hz, mode=high)"),
        (lambda: drovik.precision_timer(333.3), "TimerWrapper(frequency=333.3Hz, mode=high)"),
        (lambda: drovik.precision_timer(1e6, realtime=True), "TimerWrapper(frequency=1000000Hz, mode=realtime)"),
    ],
)
def test_wrapper_repr(make, expected):
    assert repr(make()(noop)) == expected


@pytest.mark.parametrize(
    "decorator, message",
    [
        (lambda: drovik.timer(10.0), "timer decorator requires a callable"),
        (lambda: drovik.Timer(10.0), "timer decorator requires a callable"),
        (lambda: drovik.precision_timer(10.0), "precision_timer decorator requires a callable"),
        (lambda: drovik.PrecisionTimer(10.0, True), "precision_timer decorator requires a callable"),
    ],
)
@pytest.mark.parametrize("func", [42, None, "f"])
def test_decorating_a_non_callable(decorator, message, func):
    with pytest.raises(TypeError) as info:
        decorator()(func)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "call",
    [
        lambda: drovik.timer("10"),
        lambda: drovik.timer(),
        lambda: drovik.timer(10.0, 1),
        lambda: drovik.Timer(hz=10),
        lambda: drovik.precision_timer(100.0, realtime=1),
        lambda: drovik.precision_timer(100.0, realtime=None),
        lambda: drovik.precision_timer([100.0]),
        lambda: drovik.timer(10.0)(),
        lambda: drovik.timer(10.0)(noop, noop),
        lambda: drovik.TimerHandle(),
        lambda: drovik.TimerWrapper(),
    ],
)
def test_argument_errors(call):
    with pytest.raises(TypeError):
        call()


def test_argument_conversion_errors_name_the_argument():
    with pytest.raises(TypeError, match=r"^argument 'frequency_hz': "):
        drovik.timer("10")
    with pytest.raises(TypeError, match=r"^argument 'realtime': "):
        drovik.precision_timer(10.0, realtime="yes")


def test_decorator_takes_func_by_keyword():
    assert repr(drovik.timer(5)(func=noop)) == "TimerWrapper(frequency=5Hz, mode=normal)"


@pytest.mark.parametrize("cls", [drovik.Timer, drovik.PrecisionTimer, drovik.TimerWrapper, drovik.TimerHandle])
def test_classes_cannot_be_subclassed(cls):
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


MODES = [
    ("normal", lambda hz: drovik.timer(hz)),
    ("high", lambda hz: drovik.precision_timer(hz)),
    ("realtime", lambda hz: drovik.precision_timer(hz, realtime=True)),
]


@pytest.mark.parametrize("mode, decorator", MODES)
def test_handle_reports_its_timer(handles, mode, decorator):
    handle = decorator(10.0)(noop)()
    handles.append(handle)
    assert handle.precision_mode() == mode
    assert handle.frequency() == 10.0
    assert handle.is_running() is True
    assert isinstance(handle.task_id, int) and handle.task_id >= 1
    wait_until(lambda: handle.tick_count() >= 1)
    assert handle.actual_frequency() > 0.0
    pattern = (
        rf"TimerHandle\(id={handle.task_id}, freq=10\.0Hz, actual=\d+\.\dHz, mode={mode}, ticks=\d+, running=true\)"
    )
    assert re.fullmatch(pattern, repr(handle))
    with pytest.raises(AttributeError):
        handle.task_id = 5


@pytest.mark.parametrize("mode, decorator", MODES)
def test_stop_takes_effect_at_once_and_counts_settle(handles, mode, decorator):
    handle = decorator(200.0)(noop)()
    handles.append(handle)
    wait_until(lambda: handle.tick_count() >= 3)
    handle.stop()
    assert handle.is_running() is False
    ticks = handle.tick_count()
    handle.stop()  # harmless again
    elapsed, rate = handle.elapsed_secs(), handle.actual_frequency()
    wait_until(lambda: handle.elapsed_secs() > elapsed + 0.05)
    assert handle.tick_count() <= ticks + 1
    final = handle.tick_count()
    wait_until(lambda: handle.actual_frequency() < rate and handle.elapsed_secs() > elapsed + 0.1)
    assert handle.tick_count() == final
    assert repr(handle).endswith(f"mode={mode}, ticks={final}, running=false)")


def test_fresh_handle_has_no_division_error(handles):
    @drovik.precision_timer(0.001)
    def never_again():
        pass

    handle = never_again()
    handles.append(handle)
    assert handle.tick_count() in (0, 1)
    assert handle.actual_frequency() >= 0.0
    assert handle.elapsed_secs() >= 0.0


def test_keyword_arguments_to_a_wrapper_start_nothing(handles):
    wrapper = drovik.timer(1.0)(noop)
    manager = drovik.get_task_manager()
    first = wrapper(1)
    handles.append(first)
    total = manager.total_count
    with pytest.raises(TypeError):
        wrapper(1, x=2)
    assert manager.total_count == total
    second = wrapper(2)
    handles.append(second)
    assert second.task_id == first.task_id + 1


def test_each_call_starts_its_own_timer_with_the_same_arguments(handles):
    seen = []

    @drovik.timer(50.0)
    def record(*args):
        seen.append(args)

    a, b = record(1, "x"), record(2)
    handles.extend([a, b])
    assert a.task_id != b.task_id
    wait_until(lambda: (1, "x") in seen and (2,) in seen)
    assert set(seen) == {(1, "x"), (2,)}


def test_wrapper_as_class_attribute_binds_no_self(handles):
    seen = []

    class Robot:
        loop = drovik.timer(20.0)(lambda *args: seen.append(args))

    handles.append(Robot().loop())
    wait_until(lambda: seen)
    assert seen[0] == ()


def test_coroutine_function_warns_and_still_starts():
    from subproc import run_python

    result = run_python(
        """
        import drovik, time, warnings
        warnings.simplefilter("ignore")
        async def job():
            pass
        wrapper = drovik.precision_timer(50.0)(job)
        handles = [wrapper(), drovik.timer(50.0)(job)()]
        deadline = time.monotonic() + 20
        while not all(h.tick_count() >= 2 for h in handles) and time.monotonic() < deadline:
            time.sleep(0.01)
        print(*[h.tick_count() >= 2 for h in handles])
        for h in handles: h.stop()
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["True", "True"]
    warning = (
        "Warning: Timer callback is an async function (coroutine function). It will not be awaited and will "
        "likely fail to execute properly. Please use a synchronous function."
    )
    lines = result.stderr.splitlines()
    assert lines.count(warning) == 2


@pytest.mark.parametrize(
    "obj, signature, summary",
    [
        (drovik.timer, "(frequency_hz)", "普通定时器装饰器"),
        (drovik.Timer, "(frequency_hz)", "普通定时器装饰器"),
        (drovik.precision_timer, "(frequency_hz, realtime=False)", "高精度定时器装饰器"),
        (drovik.PrecisionTimer, "(frequency_hz, realtime=False)", "高精度定时器装饰器"),
        (drovik.TimerWrapper, None, "包装后的定时器函数"),
        (drovik.TimerHandle, None, "定时器任务句柄"),
        (drovik.TimerHandle.stop, "($self)", "停止定时器"),
        (drovik.TimerHandle.is_running, "($self)", "检查定时器是否正在运行"),
        (drovik.TimerHandle.frequency, "($self)", "获取执行频率"),
        (drovik.TimerHandle.precision_mode, "($self)", "获取精度模式"),
        (drovik.TimerHandle.tick_count, "($self)", "获取已执行的 tick 次数"),
        (drovik.TimerHandle.actual_frequency, "($self)", "获取实际平均频率（Hz）"),
        (drovik.TimerHandle.elapsed_secs, "($self)", "获取运行时间（秒）"),
        (drovik.TimerHandle.task_id, None, "获取任务 ID"),
        (drovik.TaskManager, "()", "Python 可访问的任务管理器"),
        (drovik.TaskManager.stop_all, "($self)", "停止所有任务"),
        (drovik.TaskManager.wait_all, "($self, timeout_ms=None)", "等待所有任务完成"),
        (drovik.TaskManager.shutdown, "($self, timeout_ms=None)", "优雅关闭所有任务"),
        (drovik.TaskManager.cleanup, "($self)", "清理已完成的任务"),
        (drovik.TaskManager.status, "($self)", "获取任务状态"),
        (drovik.TaskManager.running_count, None, "获取运行中的任务数量"),
        (drovik.TaskManager.total_count, None, "获取所有任务数量"),
        (drovik.TaskManager.timer_count, None, "获取运行中的定时器数量"),
        (drovik.TaskManager.async_task_count, None, "获取运行中的异步任务数量"),
        (drovik.get_task_manager, "()", "获取全局任务管理器"),
        (drovik.shutdown_all, "(timeout_ms=None)", "优雅关闭所有任务的便捷函数"),
    ],
)
def test_signatures_and_summaries(obj, signature, summary):
    assert getattr(obj, "__text_signature__", None) == signature
    assert obj.__doc__.strip().splitlines()[0] == summary


@pytest.mark.parametrize("cls", [drovik.Timer, drovik.PrecisionTimer, drovik.TimerWrapper, drovik.TimerHandle, drovik.TaskManager])
def test_classes_are_builtins_without_dict_or_weakrefs(cls):
    assert cls.__module__ == "builtins"
    assert "__dict__" not in dir(cls) and "__weakref__" not in dir(cls)
