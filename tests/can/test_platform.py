"""What drovik expects of SocketCAN raw sockets, checked on whichever platform
runs the tests (a kernel with vcan, or the virtual bus): any difference
between them is a bug in the emulation."""

import contextlib
import ctypes
import errno
import os
import select
import shutil
import socket
import struct
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

from peer import EFF_FLAG, FRAME, Peer, pack, sequence_data, unpack

PEER = str(Path(__file__).resolve().parents[1] / "support" / "peer.py")
SOL_CAN_RAW = 101
CAN_RAW_FILTER, CAN_RAW_ERR_FILTER, CAN_RAW_LOOPBACK, CAN_RAW_RECV_OWN_MSGS = 1, 2, 3, 4
CAN_RAW_FD_FRAMES, CAN_RAW_JOIN_FILTERS = 5, 6
LIBC = ctypes.CDLL(None, use_errno=True)


def run_peer(*args: str) -> subprocess.Popen:
    return subprocess.Popen([sys.executable, PEER, *args], stdout=subprocess.PIPE, text=True)


def wait_ready(proc: subprocess.Popen, timeout: float = 30) -> None:
    readable, _, _ = select.select([proc.stdout], [], [], timeout)
    assert readable and proc.stdout.readline().strip() == "ready"


FRAMES = [
    (0x000, b""),
    (0x123, b"abc"),
    (0x7FF, bytes(range(8))),
    (EFF_FLAG | 0x800, b"\x01"),
    (EFF_FLAG | 0x1FFFFFFF, b"\xff" * 8),
]


def test_two_processes_exchange_frames(can_bus):
    with Peer(can_bus.iface) as me:
        echo = run_peer("echo", can_bus.iface, str(len(FRAMES)))
        try:
            wait_ready(echo)
            for word, data in FRAMES:
                me.send(word, data)
                assert me.recv(timeout=10) == (word, data)
        finally:
            assert echo.wait(timeout=30) == 0


@contextlib.contextmanager
def _send_from_processes(iface, words, count):
    procs = [run_peer("send", iface, hex(word), str(count)) for word in words]
    yield
    assert [p.wait(timeout=30) for p in procs] == [0] * len(words)


@contextlib.contextmanager
def _send_from_threads(iface, words, count):
    def send(word):
        with Peer(iface) as tx:
            for n in range(count):
                tx.send(word, sequence_data(n))

    threads = [threading.Thread(target=send, args=(word,)) for word in words]
    for t in threads:
        t.start()
    yield
    for t in threads:
        t.join(timeout=30)
    assert not any(t.is_alive() for t in threads)


@pytest.mark.parametrize("senders", [_send_from_processes, _send_from_threads], ids=["processes", "threads"])
def test_order_is_kept_per_sender(can_bus, senders):
    words, count = [0x100, 0x101, EFF_FLAG | 0x102, 0x103], 300
    with Peer(can_bus.iface) as rx:
        rx.enlarge_receive_buffer()
        with senders(can_bus.iface, words, count):
            frames = rx.recv_many(len(words) * count, timeout=60)
    for word in words:
        assert [data for w, data in frames if w == word] == [sequence_data(n) for n in range(count)]


# (CAN_RAW_LOOPBACK, CAN_RAW_RECV_OWN_MSGS) -> (sender gets its frame, another socket gets it)
DELIVERY = [
    ((1, 0), (False, True)),
    ((1, 1), (True, True)),
    ((0, 0), (False, False)),
    ((0, 1), (False, False)),
]


@pytest.mark.parametrize("options, expected", DELIVERY)
def test_delivery_follows_loopback_options(can_bus, options, expected):
    loopback, recv_own = options
    with Peer(can_bus.iface) as tx, Peer(can_bus.iface) as rx:
        tx.sock.setsockopt(SOL_CAN_RAW, CAN_RAW_LOOPBACK, loopback)
        tx.sock.setsockopt(SOL_CAN_RAW, CAN_RAW_RECV_OWN_MSGS, recv_own)
        tx.send(0x10, b"probe")
        # A marker from the same sender, which both sockets get: whatever
        # came before it has been delivered by then.
        tx.sock.setsockopt(SOL_CAN_RAW, CAN_RAW_LOOPBACK, 1)
        tx.sock.setsockopt(SOL_CAN_RAW, CAN_RAW_RECV_OWN_MSGS, 1)
        tx.send(0x11, b"marker")

        def seen(peer):
            frames = []
            while (frame := peer.recv(timeout=10)) not in (None, (0x11, b"marker")):
                frames.append(frame)
            assert frame is not None, "the marker never came"
            return (0x10, b"probe") in frames

        assert (seen(tx), seen(rx)) == expected


def test_recvfrom_and_getsockname_name_the_interface(can_bus):
    with Peer(can_bus.iface) as tx, Peer(can_bus.iface) as rx:
        tx.send(0x321, b"x")
        rx.sock.settimeout(10)
        raw, address = rx.sock.recvfrom(FRAME.size)
        assert (unpack(raw), address, rx.sock.getsockname()) == ((0x321, b"x"), (can_bus.iface,), (can_bus.iface,))


def test_unbound_socket_receives_nothing_and_cannot_send(can_bus):
    with (socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW) as unbound,
          Peer(can_bus.iface) as tx, Peer(can_bus.iface) as witness):
        unbound.setblocking(False)
        with pytest.raises(OSError) as e:
            unbound.send(pack(1, b"x"))
        assert e.value.errno == errno.ENXIO
        tx.send(2, b"y")
        assert witness.recv(timeout=10) == (2, b"y")
        with pytest.raises(BlockingIOError):
            unbound.recv(FRAME.size)


BAD_WRITES = [
    ("short", pack(1, b"x")[:15]),
    ("long", pack(1, b"x") + b"\0"),
    ("length above 8", FRAME.pack(1, 9, b"12345678")),
]


@pytest.mark.parametrize("name, raw", BAD_WRITES, ids=[b[0] for b in BAD_WRITES])
def test_malformed_writes_fail_with_einval(can_bus, name, raw):
    with Peer(can_bus.iface) as tx:
        with pytest.raises(OSError) as e:
            tx.sock.send(raw)
        assert e.value.errno == errno.EINVAL


def test_sendto_another_interface_and_bind_to_all(two_ifaces):
    first, second = two_ifaces
    with Peer(first) as tx, Peer(second) as rx, socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW) as anyif:
        anyif.bind(("",))
        anyif.settimeout(10)
        tx.sock.sendto(pack(0x55, b"over"), (second,))
        assert rx.recv(timeout=10) == (0x55, b"over")
        raw, address = anyif.recvfrom(FRAME.size)
        assert (unpack(raw), address) == ((0x55, b"over"), (second,))


def _libc_bind_index(index: int) -> int:
    with socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW) as s:
        address = struct.pack("=HxxI16x", socket.AF_CAN, index)
        LIBC.bind(s.fileno(), address, len(address))
        return ctypes.get_errno()


def _libc_nametoindex(name: bytes) -> int:
    assert LIBC.if_nametoindex(name) == 0
    return ctypes.get_errno()


def _python_bind(name: str) -> int:
    with socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW) as s:
        with pytest.raises(OSError) as e:
            s.bind((name,))
        return e.value.errno


def _indextoname(index: int) -> int:
    with pytest.raises(OSError) as e:
        socket.if_indextoname(index)
    return e.value.errno


UNKNOWN_NAMES = [
    ("if_nametoindex", lambda: _libc_nametoindex(b"nosuchcan0"), errno.ENODEV),
    ("bind by name", lambda: _python_bind("nosuchcan0"), errno.ENODEV),
    ("bind by index", lambda: _libc_bind_index(999_999), errno.ENODEV),
    ("bind to a non-CAN interface", lambda: _libc_bind_index(socket.if_nametoindex("lo")), errno.ENODEV),
    ("if_indextoname", lambda: _indextoname(999_999), errno.ENXIO),
]


@pytest.mark.parametrize("call, expected", [u[1:] for u in UNKNOWN_NAMES], ids=[u[0] for u in UNKNOWN_NAMES])
def test_unknown_interfaces_fail_as_with_the_kernel(can_bus, call, expected):
    assert call() == expected


def test_interface_names_and_indexes_agree(can_bus):
    for name in can_bus.ifaces:
        index = socket.if_nametoindex(name)
        assert index > 1 and socket.if_indextoname(index) == name


def test_socket_option_defaults(can_bus):
    with Peer(can_bus.iface) as p:
        get = p.sock.getsockopt
        assert (get(SOL_CAN_RAW, CAN_RAW_LOOPBACK), get(SOL_CAN_RAW, CAN_RAW_RECV_OWN_MSGS),
                get(SOL_CAN_RAW, CAN_RAW_FD_FRAMES), get(SOL_CAN_RAW, CAN_RAW_JOIN_FILTERS),
                get(SOL_CAN_RAW, CAN_RAW_ERR_FILTER)) == (1, 0, 0, 0, 0)
        assert get(SOL_CAN_RAW, CAN_RAW_FILTER, 64) == struct.pack("=II", 0, 0)


TWO_FILTERS = struct.pack("=IIII", 0x123, 0x7FF, 0x80000000 | 0x456, 0x9FFFFFFF)
OPTION_ERRORS = [
    ("int option of one byte", (SOL_CAN_RAW, CAN_RAW_LOOPBACK, b"\x01"), errno.EINVAL),
    ("filter of a partial entry", (SOL_CAN_RAW, CAN_RAW_FILTER, b"\0" * 12), errno.EINVAL),
    ("error mask of two bytes", (SOL_CAN_RAW, CAN_RAW_ERR_FILTER, b"\0\0"), errno.EINVAL),
    ("unknown option", (SOL_CAN_RAW, 99, 1), errno.ENOPROTOOPT),
    ("foreign level", (socket.IPPROTO_IP, 1, 1), errno.EINVAL),
]


@pytest.mark.parametrize("args, expected", [o[1:] for o in OPTION_ERRORS], ids=[o[0] for o in OPTION_ERRORS])
def test_bad_socket_options_fail(can_bus, args, expected):
    with Peer(can_bus.iface) as p:
        with pytest.raises(OSError) as e:
            p.sock.setsockopt(*args)
        assert e.value.errno == expected


def test_filters_are_kept_and_reported_with_the_room_they_need(can_bus):
    with Peer(can_bus.iface) as p:
        p.sock.setsockopt(SOL_CAN_RAW, CAN_RAW_FILTER, TWO_FILTERS)
        assert p.sock.getsockopt(SOL_CAN_RAW, CAN_RAW_FILTER, 64) == TWO_FILTERS
        with pytest.raises(OSError) as e:
            p.sock.getsockopt(SOL_CAN_RAW, CAN_RAW_FILTER, 8)
        assert e.value.errno == errno.ERANGE


FAULTS = [("link_down", errno.ENETDOWN), ("enobufs", errno.ENOBUFS), ("eagain", errno.EAGAIN)]


@pytest.mark.parametrize("kind, expected", FAULTS, ids=[f[0] for f in FAULTS])
def test_fault_fails_the_write_and_clears(can_bus, faults, kind, expected):
    platform = faults.require(kind)
    with Peer(can_bus.iface) as tx:
        try:
            assert platform.provoke(kind, can_bus.iface, tx).errno == expected
        finally:
            platform.clear(kind, can_bus.iface, tx)
        with Peer(can_bus.iface) as rx:
            tx.send(0x42, b"after")
            assert rx.recv(timeout=10) == (0x42, b"after")


def test_link_down_costs_each_socket_one_enetdown(can_bus, faults):
    platform = faults.require("link_down")
    with Peer(can_bus.iface) as rx, Peer(can_bus.iface) as tx:
        rx.sock.setblocking(False)
        platform.link_down(can_bus.iface)
        try:
            with pytest.raises(OSError) as e:
                rx.sock.recv(FRAME.size)
            assert e.value.errno == errno.ENETDOWN
            with pytest.raises(BlockingIOError):
                rx.sock.recv(FRAME.size)
        finally:
            platform.link_up(can_bus.iface)
        # tx never wrote while the link was down: it still owes its ENETDOWN.
        with pytest.raises(OSError) as e:
            tx.send(1, b"x")
        assert e.value.errno == errno.ENETDOWN
        tx.send(2, b"y")
        assert rx.recv(timeout=10) == (2, b"y")


def _thread_sleeps(native_id: int) -> bool:
    with open(f"/proc/self/task/{native_id}/stat") as f:
        return f.read().rsplit(")", 1)[1].split()[0] == "S"


def test_link_down_wakes_a_blocked_reader(can_bus, faults):
    platform = faults.require("link_down")
    result = {}
    with Peer(can_bus.iface) as rx:
        rx.sock.settimeout(60)

        def read():
            result["id"] = threading.get_native_id()
            try:
                rx.sock.recv(FRAME.size)
            except OSError as e:
                result["errno"] = e.errno

        reader = threading.Thread(target=read)
        reader.start()
        deadline = time.monotonic() + 30
        while ("id" not in result or not _thread_sleeps(result["id"])) and time.monotonic() < deadline:
            time.sleep(0.01)
        platform.link_down(can_bus.iface)
        try:
            reader.join(timeout=30)
        finally:
            platform.link_up(can_bus.iface)
        assert not reader.is_alive() and result.get("errno") == errno.ENETDOWN


def test_edge_triggered_epoll_wakes_on_each_frame(can_bus):
    with Peer(can_bus.iface) as rx, Peer(can_bus.iface) as tx, select.epoll() as ep:
        rx.sock.setblocking(False)
        ep.register(rx.fileno(), select.EPOLLIN | select.EPOLLET)
        for n in range(20):
            tx.send(0x200 + n, bytes([n]))
            assert [fd for fd, events in ep.poll(10) if events & select.EPOLLIN] == [rx.fileno()]
            assert unpack(rx.sock.recv(FRAME.size)) == (0x200 + n, bytes([n]))
            with pytest.raises(BlockingIOError):
                rx.sock.recv(FRAME.size)


SENDS = {
    "write": lambda s, raw: os.write(s.fileno(), raw),
    "writev": lambda s, raw: os.writev(s.fileno(), [raw[:5], raw[5:]]),
    "send": lambda s, raw: s.send(raw),
    "sendmsg": lambda s, raw: s.sendmsg([raw[:8], raw[8:]]),
}


def _readv(s):
    buf = bytearray(FRAME.size)
    os.readv(s.fileno(), [buf])
    return bytes(buf)


def _recvmsg_into(s):
    head, tail = bytearray(3), bytearray(13)
    s.recvmsg_into([head, tail])
    return bytes(head + tail)


RECEIVES = {
    "read": lambda s: os.read(s.fileno(), FRAME.size),
    "readv": _readv,
    "recv": lambda s: s.recv(FRAME.size),
    "recvmsg": lambda s: s.recvmsg(FRAME.size)[0],
    "recvmsg_into": _recvmsg_into,
}


@pytest.mark.parametrize("receive", RECEIVES.values(), ids=RECEIVES.keys())
@pytest.mark.parametrize("send", SENDS.values(), ids=SENDS.keys())
def test_every_io_call_carries_whole_frames(can_bus, send, receive):
    with Peer(can_bus.iface) as tx, Peer(can_bus.iface) as rx:
        raw = pack(EFF_FLAG | 0x1234, b"io")
        assert send(tx.sock, raw) == FRAME.size
        select.select([rx.sock], [], [], 10)
        assert receive(rx.sock) == raw


def test_peek_leaves_the_frame_queued(can_bus):
    with Peer(can_bus.iface) as tx, Peer(can_bus.iface) as rx:
        tx.send(0x77, b"peek")
        select.select([rx.sock], [], [], 10)
        assert rx.sock.recv(FRAME.size, socket.MSG_PEEK) == rx.sock.recv(FRAME.size) == pack(0x77, b"peek")


def test_a_short_read_truncates_the_frame(can_bus):
    with Peer(can_bus.iface) as tx, Peer(can_bus.iface) as rx:
        tx.send(0x99, b"abcdefgh")
        select.select([rx.sock], [], [], 10)
        data, _, flags, _ = rx.sock.recvmsg(6)
        assert (data, flags & socket.MSG_TRUNC) == (pack(0x99, b"abcdefgh")[:6], socket.MSG_TRUNC)
        tx.send(0x9A, b"next")  # the rest of the truncated frame is gone
        assert rx.recv(timeout=10) == (0x9A, b"next")


SFF_MASK, EFF_MASK, INV_FILTER = 0x7FF, 0x1FFFFFFF, 0x20000000
FILTER_PROBES = [0x123, 0x124, EFF_FLAG | 0x123, EFF_FLAG | 0x12345, 0x7FF]
# (filters as (id, mask), join) -> the probes the socket gets, in order, once each
FILTERS = [
    ("none set", None, False, FILTER_PROBES),
    ("empty list", [], False, []),
    ("identifier bits only", [(0x123, SFF_MASK)], False, [0x123, EFF_FLAG | 0x123]),
    ("standard frames only", [(0x123, EFF_FLAG | SFF_MASK)], False, [0x123]),
    ("extended frame", [(EFF_FLAG | 0x12345, EFF_FLAG | EFF_MASK)], False, [EFF_FLAG | 0x12345]),
    ("inverted", [(INV_FILTER | 0x123, SFF_MASK)], False, [0x124, EFF_FLAG | 0x12345, 0x7FF]),
    ("either of two", [(0x123, SFF_MASK), (0x124, SFF_MASK)], False, [0x123, 0x124, EFF_FLAG | 0x123]),
    ("two matching, delivered once", [(0x123, SFF_MASK), (0x100, 0x700)], False, [0x123, 0x124, EFF_FLAG | 0x123]),
    ("joined, none both", [(0x123, SFF_MASK), (0x124, SFF_MASK)], True, []),
    ("joined, both", [(0x100, 0x700), (0x023, 0x0FF)], True, [0x123, EFF_FLAG | 0x123]),
]


@pytest.mark.parametrize("filters, join, expected", [f[1:] for f in FILTERS], ids=[f[0] for f in FILTERS])
def test_receive_filters_select_frames(can_bus, filters, join, expected):
    with Peer(can_bus.iface) as rx, Peer(can_bus.iface) as witness, Peer(can_bus.iface) as tx:
        if filters is not None:
            rx.sock.setsockopt(SOL_CAN_RAW, CAN_RAW_FILTER, b"".join(struct.pack("=II", *f) for f in filters))
        rx.sock.setsockopt(SOL_CAN_RAW, CAN_RAW_JOIN_FILTERS, int(join))
        for word in FILTER_PROBES:
            tx.send(word, b"p")
        tx.send(0x555, b"end")
        # The witness's last frame means every probe has been through the filters.
        assert witness.recv_many(len(FILTER_PROBES) + 1, timeout=10)[-1] == (0x555, b"end")
        rx.sock.setblocking(False)
        got = []
        while True:
            try:
                got.append(unpack(rx.sock.recv(FRAME.size))[0])
            except BlockingIOError:
                break
        assert [w for w in got if w != 0x555] == expected


def test_rebinding_keeps_frames_already_queued(two_ifaces):
    first, second = two_ifaces
    with Peer(first) as rx, Peer(first) as tx1, Peer(second) as tx2, Peer(first) as witness:
        tx1.send(0x1, b"old")
        assert witness.recv(timeout=10) == (0x1, b"old")
        rx.sock.bind((second,))
        tx1.send(0x2, b"gone")
        tx2.send(0x3, b"new")
        assert rx.recv_many(2, timeout=10) == [(0x1, b"old"), (0x3, b"new")]


def test_can_utils_exchange_frames_with_python(can_bus):
    if not (shutil.which("cansend") and shutil.which("candump")):
        pytest.skip("can-utils (cansend, candump) not installed")
    with Peer(can_bus.iface) as me:
        subprocess.run(["cansend", can_bus.iface, "12345678#DEADBEEF"], check=True, timeout=30)
        assert me.recv(timeout=10) == (EFF_FLAG | 0x12345678, b"\xde\xad\xbe\xef")
        dump = subprocess.Popen(["candump", "-n", "1", can_bus.iface], stdout=subprocess.PIPE, text=True)
        try:
            # candump says nothing once it listens: send until it has seen a frame.
            deadline = time.monotonic() + 30
            while dump.poll() is None and time.monotonic() < deadline:
                me.send(0x7AB, b"\x01\x02")
                time.sleep(0.05)
            assert dump.communicate(timeout=10)[0].split() == [can_bus.iface, "7AB", "[2]", "01", "02"]
        finally:
            dump.kill()
