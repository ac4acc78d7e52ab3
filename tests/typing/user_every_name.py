"""A user's program that touches every public name of drovik, written as the
README teaches. Type-checked only (it would need a bus to run): both checkers
must find drovik's types and report nothing."""

import drovik


def can_round_trip(iface: str) -> bytes:
    blocking = drovik.CanDevice(iface)
    blocking.send(0x123, b"\x01\x02")
    blocking.send(0x18FF50E5, [1, 2, 3])
    can_id, data = blocking.receive()
    name: str = blocking.interface()

    queued = drovik.CanDeviceNonBlocking(iface)
    queued.send(can_id, bytearray(data))
    later = queued.receive_timeout(50)
    now = queued.try_receive()
    if later is not None and now is not None:
        return later[1] + now[1] + name.encode() + queued.interface().encode()
    return data


def control(iface: str) -> drovik.TimerHandle:
    motor = drovik.Motor(iface, broadcast_id=0x100)
    wheel: drovik.Device = motor.add_device(slot_index=0, feedback_id=0x201, mode="speed")
    motor.add_device(1, 0x202, "Position")
    motor.set_target(1, 1.57)
    feedback = motor.get_watch_data(1)
    if feedback is not None:
        print(feedback["position"] + feedback["speed"] + feedback["current"])
    print(motor.broadcast_id, wheel.slot_index, wheel.feedback_id, wheel.get_target())

    @drovik.precision_timer(500.0, realtime=False)
    def step(gain: float) -> None:
        speed: float = wheel.get_watch_data()["speed"]
        wheel.set_target(gain * (2.0 if speed < 1.5 else 1.0))
        motor.broadcast()

    wrapper: drovik.TimerWrapper[float] = step
    return wrapper(0.5)


def timers() -> list[drovik.TimerHandle]:
    @drovik.timer(100)
    def tick() -> None:
        pass

    def count(n: int, label: str) -> int:
        return n + len(label)

    every_10ms = drovik.Timer(100.0)(tick)
    precise = drovik.PrecisionTimer(1000.0, realtime=True)(count)
    handles = [tick(), every_10ms(), precise(3, "x")]
    for h in handles:
        mode: str = h.precision_mode()
        print(h.task_id, h.is_running(), h.frequency(), mode, h.tick_count(), h.actual_frequency(), h.elapsed_secs())
    handles[0].stop()
    return handles


def jobs() -> int:
    @drovik.run_async
    def square(x: int) -> int:
        return x * x

    def shout(text: str) -> str:
        return text.upper()

    handle: drovik.AsyncHandle[int] = square(7)
    loud = drovik.RunAsync(shout)("hi")
    result = handle.wait(timeout_ms=5000)
    text = loud.try_result()
    loud.cancel()
    print(handle.task_id, handle.is_done(), handle.is_completed(), handle.is_cancelled(), text)
    return result if result is not None else 0


def shutdown() -> bool:
    manager: drovik.TaskManager = drovik.get_task_manager()
    own = drovik.TaskManager()
    status = own.status()
    print(status["running_timers"], status["running_tasks"], status["stopped"], status["total"])
    print(manager.running_count, manager.total_count, manager.timer_count, manager.async_task_count)
    manager.stop_all()
    manager.cleanup()
    clean = manager.wait_all(100) and manager.shutdown(timeout_ms=None)
    signal_name = drovik.block_all(timeout_ms=5000)
    reason, stopped = drovik.block_until(wait_ms=1000, shutdown_timeout_ms=None)
    print(signal_name, reason)
    return clean and stopped and drovik.shutdown_all(None)


if __name__ == "__main__":
    print(can_round_trip("vcan0"), control("vcan0"), timers(), jobs(), shutdown())
