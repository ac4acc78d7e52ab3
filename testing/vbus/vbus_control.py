"""Fault control of the virtual CAN bus from test code (standard library only).

The hub is found through $DROVIK_VBUS, which run-with-vbus exports:

    import vbus_control
    vbus_control.link_down("vcan0")          # writes fail ENETDOWN, each socket's next read too, once
    vbus_control.link_up("vcan0")
    vbus_control.fail_writes("vcan0", errno.ENOBUFS, 3)   # the next 3 writes on vcan0
    vbus_control.sockets("vcan0")            # per bound socket: pid, sent, delivered, dropped
"""

import os
import socket
from dataclasses import dataclass

ENV = "DROVIK_VBUS"


class VbusError(RuntimeError):
    """The hub refused a command."""


@dataclass(frozen=True)
class SocketStats:
    pid: int
    sent: int
    delivered: int
    dropped: int


def active() -> bool:
    """True when this process runs on a virtual bus."""
    return bool(os.environ.get(ENV))


def hub_pid() -> int | None:
    """The process id of this bus's hub (to kill it, or raise its priority), if it runs."""
    run_dir = os.environ.get(ENV)
    if not run_dir:
        return None
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                args = f.read().split(b"\0")
        except OSError:
            continue
        if args and args[0].endswith(b"vbus_hub") and run_dir.encode() in args:
            return int(pid)
    return None


def _request(command: str) -> list[str]:
    directory = os.environ.get(ENV)
    if not directory:
        raise VbusError(f"${ENV} is not set: not running on a virtual bus")
    with socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET) as s:
        s.connect(os.path.join(directory, "control"))
        s.send(command.encode())
        status, *lines = s.recv(65536).decode().split("\n")
    if status != "ok":
        raise VbusError(f"{command!r}: {status}")
    return lines


def interfaces() -> dict[str, int]:
    """Names and indexes of the bus's interfaces."""
    return {name: int(index) for name, index in (line.split() for line in _request("ifaces"))}


def link_down(iface: str) -> None:
    _request(f"down {iface}")


def link_up(iface: str) -> None:
    _request(f"up {iface}")


def fail_writes(iface: str, err: int, count: int) -> None:
    """The next `count` writes on `iface` fail with `err` (0 clears)."""
    _request(f"fail {iface} {err} {count}")


def sockets(iface: str) -> list[SocketStats]:
    return [SocketStats(*map(int, line.split())) for line in _request(f"sockets {iface}")]


def shutdown() -> None:
    """Stops the hub: every emulated socket then reads end-of-file."""
    _request("quit")
