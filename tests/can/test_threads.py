"""Many Python threads calling one CanDeviceNonBlocking or one Motor at once: no crash,
no frame lost, none duplicated, each thread's frames in the order it sent them."""

import struct
import threading
import time

import pytest

import drovik
from waiting import eventually, wait_until

THREADS = 8
# Frames a peer sends before it waits for them to be taken: a burst from a tight Python
# loop outruns any reader, and a socket's receive buffer (a few hundred frames) would
# overflow on the bus, not in the module.
WINDOW = 100


def run_together(*targets):
    """Starts one thread per target behind a common barrier and joins them all;
    re-raises the first exception any of them met."""
    barrier = threading.Barrier(len(targets))
    errors = []

    def guarded(target):
        barrier.wait()
        try:
            target()
        except BaseException as error:  # noqa: BLE001 - handed to the test
            errors.append(error)

    threads = [threading.Thread(target=guarded, args=(target,)) for target in targets]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=120)
        assert not thread.is_alive(), "a thread never finished"
    if errors:
        raise errors[0]


@pytest.fixture
def bus_peer(peer):
    peer.enlarge_receive_buffer()
    return peer


def test_threads_sending_and_receiving_on_one_nonblocking_device(can_bus, bus_peer):
    frames_each, inbound = 300, 1200
    device = drovik.CanDeviceNonBlocking(can_bus.iface)
    assert eventually(lambda: device.send(0x7FF, b"") is None and bus_peer.recv(timeout=0.05) is not None)
    bus_peer.drain()
    received = [[] for _ in range(THREADS // 2)]
    deadline = time.monotonic() + 60

    def sender(index):
        def send():
            for n in range(frames_each):
                device.send(0x100 + index, struct.pack("<I", n))
        return send

    def receiver(index):
        def receive():
            # Half wait inside the module, half poll: both paths share the queue.
            while sum(map(len, received)) < inbound and time.monotonic() < deadline:
                frame = device.receive_timeout(5) if index % 2 else device.try_receive()
                if frame is not None:
                    received[index].append(struct.unpack("<I", frame[1])[0])
                elif index % 2 == 0:
                    time.sleep(0.001)
        return receive

    def feed():
        for n in range(inbound):
            bus_peer.send(0x300, struct.pack("<I", n))
            if n % WINDOW == WINDOW - 1:
                wait_until(lambda: sum(map(len, received)) > n)

    sent = {}

    def collect():
        for word, data in bus_peer.recv_many(THREADS * frames_each, timeout=60):
            sent.setdefault(word, []).append(struct.unpack("<I", data)[0])

    run_together(*(sender(i) for i in range(THREADS)), *(receiver(i) for i in range(len(received))), feed, collect)
    assert sent == {0x100 + i: list(range(frames_each)) for i in range(THREADS)}
    assert sorted(n for part in received for n in part) == list(range(inbound))
    assert all(part == sorted(part) for part in received)


def test_threads_driving_one_motor(heard_motor, bus_peer):
    rounds, broadcast_id = 250, 0x100
    motor = heard_motor(broadcast_id)
    devices = [motor.add_device(slot, 0x201 + slot, "speed") for slot in range(4)]

    def controller(slot):
        # One thread per slot sets its own targets; the frames must carry only those.
        def control():
            for n in range(rounds):
                if n % 2:
                    motor.set_target(slot, float(n))
                else:
                    devices[slot].set_target(float(n))
                motor.broadcast()
                motor.get_watch_data(slot)
                devices[slot].get_watch_data()
        return control

    def feedback():
        for n in range(rounds):
            for slot in range(4):
                bus_peer.send(0x201 + slot, struct.pack("<fhh", float(n), 0, 0))
            if n % (WINDOW // 4) == WINDOW // 4 - 1 or n == rounds - 1:
                wait_until(lambda: [d.get_watch_data()["position"] for d in devices] == [float(n)] * 4)

    frames = []

    def collect():
        frames.extend(bus_peer.recv_many(4 * rounds, timeout=60))

    run_together(*(controller(slot) for slot in range(4)), feedback, collect)
    assert len(frames) == 4 * rounds and {word for word, _ in frames} == {broadcast_id}
    for _, data in frames:
        assert all(value % 10 == 0 and 0 <= value // 10 < rounds for value in struct.unpack("<4h", data))
    motor.broadcast()
    assert struct.unpack("<4h", bus_peer.recv(timeout=20)[1]) == (10 * (rounds - 1),) * 4
