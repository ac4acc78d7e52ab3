"""Blocking CAN: one device sends, another on the same interface receives.

    python3 examples/can_blocking.py [IFACE]        (default vcan0)

Every CanDevice call finishes its work before it returns and keeps the GIL
while it waits, so receive() here blocks the whole interpreter until a frame
arrives. Use CanDeviceNonBlocking when other Python threads must keep running.
"""

import sys

import drovik

iface = sys.argv[1] if len(sys.argv) > 1 else "vcan0"
sender = drovik.CanDevice(iface)
receiver = drovik.CanDevice(iface)

frames = [
    (0x123, b"\x01\x02\x03"),            # below 0x800: a standard 11-bit frame
    (0x18FF50E5, bytes(range(8))),       # 0x800 and above: an extended 29-bit frame
    (0x7FF, [0xDE, 0xAD, 0xBE, 0xEF]),   # any sequence of ints 0-255 works as data
]
for can_id, data in frames:
    sender.send(can_id, data)
    got_id, got_data = receiver.receive()
    print(f"sent 0x{can_id:X} {bytes(data).hex(' ')} -> received 0x{got_id:X} {got_data.hex(' ')}")

try:
    sender.send(0x100, bytes(9))
except OSError as error:
    print(f"a 9-byte payload is refused: {error}")
print(f"done on {receiver.interface()}")
