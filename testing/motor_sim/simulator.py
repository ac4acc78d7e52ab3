"""Up to four simulated drivers sharing one CAN interface.

One thread owns the socket: it blocks until a frame arrives, a feedback tick
is due or stop() is asked for, so an idle simulator costs nothing.
"""

import errno
import os
import selectors
import socket
import threading
import time
from collections.abc import Iterable

from . import can_frame, payload
from .driver_config import SLOTS, DriverConfig
from .motor_model import MotorModel

# Send failures that a busy or flapping bus produces: the frame is lost, the drivers go on.
_TRANSIENT = (errno.EAGAIN, errno.ENOBUFS, errno.ENETDOWN)
_MAX_LAG = 0.05  # seconds


class MotorSimulator:
    """Answers broadcast frames on `broadcast_id` with each driver's feedback.

    With `rate` > 0 every driver sends feedback `rate` times a second; with
    rate 0 each driver answers every broadcast frame once, right after it.
    A broadcast is recognised by its identifier's number, standard or extended
    frame alike; anything else on the bus is ignored.
    """

    def __init__(self, iface: str, broadcast_id: int, drivers: Iterable[DriverConfig], rate: float = 1000.0):
        self.iface = iface
        self.broadcast_id = broadcast_id
        self.drivers = list(drivers)
        if not 1 <= len(self.drivers) <= SLOTS:
            raise ValueError(f"{len(self.drivers)} drivers: a bus carries 1 to {SLOTS}")
        if not 0 <= broadcast_id <= can_frame.EFF_MASK:
            raise ValueError(f"broadcast identifier 0x{broadcast_id:X} out of range")
        if not rate >= 0.0:
            raise ValueError(f"feedback rate {rate} must be 0 or positive")
        self.period = 1.0 / rate if rate > 0.0 else None
        self.models = [MotorModel(d.mode) for d in self.drivers]
        self.broadcasts = 0
        self.feedback_sent = 0
        self.feedback_dropped = 0
        self._sock = None
        self._wake_r = self._wake_w = -1
        self._thread = None
        self._error = None
        self._last_step = 0.0

    def start(self) -> "MotorSimulator":
        """Binds the socket before returning, so frames sent afterwards are seen."""
        sock = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
        try:
            sock.bind((self.iface,))
        except OSError:
            sock.close()
            raise
        sock.setblocking(False)
        self._sock = sock
        self._wake_r, self._wake_w = os.pipe2(os.O_NONBLOCK | os.O_CLOEXEC)
        self._last_step = time.monotonic()
        self._thread = threading.Thread(target=self._run, name="motor-sim", daemon=True)
        self._thread.start()
        return self

    def request_stop(self) -> None:
        """Safe from a signal handler; the thread ends at its next wake-up."""
        try:
            os.write(self._wake_w, b"x")
        except BlockingIOError:
            pass  # a stop is already pending

    def wait(self) -> None:
        """Until stopped or failed."""
        self._thread.join()

    def stop(self) -> None:
        """Ends the thread, closes the socket; a failure of the thread is raised here."""
        if self._thread is None:
            return
        self.request_stop()
        self._thread.join()
        self._thread = None
        self._sock.close()
        os.close(self._wake_r)
        os.close(self._wake_w)
        if self._error is not None:
            raise self._error

    def __enter__(self) -> "MotorSimulator":
        return self.start()

    def __exit__(self, *exc) -> None:
        self.stop()

    def _run(self) -> None:
        try:
            with selectors.DefaultSelector() as selector:
                selector.register(self._sock, selectors.EVENT_READ)
                selector.register(self._wake_r, selectors.EVENT_READ)
                self._serve(selector)
        except BaseException as error:  # handed to stop()
            self._error = error

    def _serve(self, selector: selectors.BaseSelector) -> None:
        next_tick = time.monotonic()
        while True:
            timeout = None if self.period is None else max(0.0, next_tick - time.monotonic())
            for key, _ in selector.select(timeout):
                if key.fileobj == self._wake_r:
                    return
                self._drain()
            if self.period is not None and time.monotonic() >= next_tick:
                self._step()
                self._send_feedback()
                # Wake-ups come late by up to a millisecond (epoll's resolution): a late
                # tick is made up at once so the rate holds; after a real stall the missed
                # ticks are skipped rather than sent in a burst.
                next_tick += self.period
                now = time.monotonic()
                if now - next_tick > _MAX_LAG:
                    next_tick += ((now - next_tick) // self.period + 1) * self.period

    def _drain(self) -> None:
        while True:
            try:
                raw = self._sock.recv(can_frame.FRAME_SIZE)
            except BlockingIOError:
                return
            except OSError as error:
                if error.errno == errno.ENETDOWN:
                    return  # reported once per link-down; the next read waits for traffic again
                raise
            if len(raw) != can_frame.FRAME_SIZE:
                raise ConnectionError(f"{self.iface}: read {len(raw)} bytes instead of a CAN frame")
            frame = can_frame.unpack(raw)
            if frame.can_id == self.broadcast_id and len(frame.data) == 8 and not (frame.remote or frame.error):
                self._apply(payload.decode_broadcast(frame.data))

    def _apply(self, counts: tuple[int, ...]) -> None:
        self._step()  # the old targets held until now
        for driver, model in zip(self.drivers, self.models):
            model.target = payload.target_of(counts[driver.slot], driver.mode)
        self.broadcasts += 1
        if self.period is None:
            self._send_feedback()

    def _step(self) -> None:
        now = time.monotonic()
        for model in self.models:
            model.advance(now - self._last_step)
        self._last_step = now

    def _send_feedback(self) -> None:
        for driver, model in zip(self.drivers, self.models):
            data = payload.encode_feedback(model.position, model.speed, model.current)
            try:
                self._sock.send(can_frame.pack(driver.feedback_id, data))
                self.feedback_sent += 1
            except OSError as error:
                if error.errno not in _TRANSIENT:
                    raise
                self.feedback_dropped += 1
