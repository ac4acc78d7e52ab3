"""A user's program with mistakes the stubs let a checker catch before any bus is
touched. Each wrong line ends in a comment naming what mypy, then pyright, must
report there; nothing else may be reported."""

import drovik

device = drovik.CanDevice(5)  # wrong: arg-type reportArgumentType
device.send(0x100, "not bytes")  # wrong: arg-type reportArgumentType

queued = drovik.CanDeviceNonBlocking("vcan0")
frame: tuple[int, bytes] = queued.try_receive()  # wrong: assignment reportAssignmentType

motor = drovik.Motor("vcan0", 0x100)
motor.add_device(1, 0x202)  # wrong: call-arg reportCallIssue
wheel = motor.add_device(0, 0x201, "speed")
wheel.set_target("fast")  # wrong: arg-type reportArgumentType


@drovik.timer(100.0)
def step(gain: float) -> None:
    pass


handle = step("high")  # wrong: arg-type reportArgumentType
handle.task_id = 7  # wrong: misc reportAttributeAccessIssue


@drovik.run_async
def square(x: int) -> int:
    return x * x


label: str | None = square(3).wait(timeout_ms=100)  # wrong: assignment reportAssignmentType
reason, clean = drovik.block_until(wait_ms=1.5)  # wrong: arg-type reportArgumentType
