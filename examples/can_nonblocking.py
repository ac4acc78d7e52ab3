"""Non-blocking CAN: a background task sends what is queued and queues what arrives.

    python3 examples/can_nonblocking.py [IFACE] [FRAMES]     (default vcan0, 100)

send() returns at once; receive_timeout() waits for the receive queue, not the
bus, and gives None when nothing came in time. Frames nobody reads stay queued.
"""

import sys
import time

import drovik

iface = sys.argv[1] if len(sys.argv) > 1 else "vcan0"
count = int(sys.argv[2]) if len(sys.argv) > 2 else 100

PROBE = 0x7F0
rx = drovik.CanDeviceNonBlocking(iface)
tx = drovik.CanDeviceNonBlocking(iface)
print(f"nothing queued yet: try_receive() -> {rx.try_receive()}")

# The devices open their sockets in the background; a frame queued before the
# receiver's socket is bound is not seen by it, so wait until a probe comes through.
while True:
    tx.send(PROBE, b"probe")
    if rx.receive_timeout(100) is not None:
        break

for n in range(count):
    tx.send(0x200 + n % 4, n.to_bytes(4, "little"))

received = 0
started = time.monotonic()
while received < count:
    frame = rx.receive_timeout(500)
    if frame is None:
        print(f"no frame within 500 ms after {received} frames")
        sys.exit(1)
    can_id, data = frame
    if can_id == PROBE:  # a late answer to the wait above
        continue
    if received < 3:
        print(f"0x{can_id:X} {int.from_bytes(data, 'little')}")
    received += 1
print(f"received {received} frames in {(time.monotonic() - started) * 1000:.1f} ms")
print(f"queue drained: receive_timeout(50) -> {rx.receive_timeout(50)}")
