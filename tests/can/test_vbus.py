"""Behaviour of the virtual bus itself: its fault counters, its buffering and
the preload's bookkeeping of descriptors."""

import errno
import fcntl
import os
import socket
import struct

import pytest
import vbus_control

from peer import FRAME, Peer, pack, sequence_data, unpack

SO_TIMESTAMPNS, SO_RXQ_OVFL = 35, 40  # not in every Python's socket module


@pytest.mark.parametrize("err", [errno.ENOBUFS, errno.EAGAIN], ids=["ENOBUFS", "EAGAIN"])
def test_armed_failures_hit_exactly_the_next_writes_of_one_interface(emulation, two_ifaces, err):
    first, second = two_ifaces
    with Peer(first) as tx, Peer(second) as other, Peer(first) as rx:
        vbus_control.fail_writes(first, err, 3)
        other.send(0x1, b"free")  # another interface is not affected
        failures = []
        for n in range(4):
            try:
                tx.send(0x2, sequence_data(n))
            except OSError as e:
                failures.append(e.errno)
        assert failures == [err] * 3
        assert rx.recv(timeout=10) == (0x2, sequence_data(3))


def test_slow_reader_loses_frames_and_nobody_else_does(emulation):
    count = 400
    iface = emulation.iface
    with Peer(iface) as slow, Peer(iface) as fast, Peer(iface) as tx:
        slow.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1)  # the kernel's minimum
        slow.sock.setsockopt(socket.SOL_SOCKET, SO_RXQ_OVFL, 1)
        slow.sock.setsockopt(socket.SOL_SOCKET, SO_TIMESTAMPNS, 1)
        fast.enlarge_receive_buffer()
        tx.sock.settimeout(30)  # a bus stalled by the slow reader would stop the sender here
        for n in range(count):
            tx.send(0x3, sequence_data(n))
        assert [data for _, data in fast.recv_many(count, timeout=30)] == [sequence_data(n) for n in range(count)]
        slow.sock.setblocking(False)
        kept = []
        while True:
            try:
                kept.append(unpack(slow.sock.recv(FRAME.size))[1])
            except BlockingIOError:
                break
        # The slow reader keeps what fitted, in order, and loses the rest.
        assert 0 < len(kept) < count
        assert kept == sorted(kept, key=lambda d: int.from_bytes(d, "little"))
        stats = sorted((s.delivered, s.dropped) for s in vbus_control.sockets(iface) if s.pid == os.getpid())
        assert stats == sorted([(0, 0), (count, 0), (len(kept), count - len(kept))])
        # The next frame tells the drop count as the kernel does, after its receive time;
        # a buffer larger than a frame still takes the frame alone.
        tx.send(0x4, b"next")
        slow.sock.setblocking(True)
        data, ancillary, _, _ = slow.sock.recvmsg(64, 256)
        assert unpack(data) == (0x4, b"next")
        assert [(level, kind) for level, kind, _ in ancillary] == [(socket.SOL_SOCKET, SO_TIMESTAMPNS),
                                                                   (socket.SOL_SOCKET, SO_RXQ_OVFL)]
        assert struct.unpack("=I", ancillary[1][2]) == (count - len(kept),)


def test_a_dup_is_the_same_emulated_socket(emulation):
    with Peer(emulation.iface) as original, Peer(emulation.iface) as rx:
        copy = original.sock.dup()
        original.close()
        with copy:
            assert copy.getsockname() == (emulation.iface,)
            vbus_control.fail_writes(emulation.iface, errno.ENOBUFS, 1)
            with pytest.raises(OSError) as e:
                copy.send(pack(0x4, b"a"))
            assert e.value.errno == errno.ENOBUFS
            copy.send(pack(0x5, b"b"))
            assert rx.recv(timeout=10) == (0x5, b"b")


# Messages of every length the hub itself uses, which the preload must not
# take for its own on descriptors that are not emulated CAN sockets.
MESSAGES = [b"\0", b"\0\0\0\0", b"\1" * 8, pack(0x6, b"can"), b"\2" * 20, b"longer than any frame" * 3]


def _socketpair(kind):
    return socket.socketpair(socket.AF_UNIX, kind)


def _udp_pair():
    a, b = socket.socket(socket.AF_INET, socket.SOCK_DGRAM), socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    a.bind(("127.0.0.1", 0))
    b.connect(a.getsockname())
    return b, a


ENDPOINTS = {
    "unix seqpacket": lambda: _socketpair(socket.SOCK_SEQPACKET),
    "unix datagram": lambda: _socketpair(socket.SOCK_DGRAM),
    "udp": _udp_pair,
}


@pytest.mark.parametrize("make", ENDPOINTS.values(), ids=ENDPOINTS.keys())
def test_other_sockets_pass_through_untouched(emulation, make):
    writer, reader = make()
    with writer, reader:
        reader.settimeout(10)
        for message in MESSAGES:
            writer.send(message)
            assert reader.recv(256) == message
        assert writer.getsockopt(socket.SOL_SOCKET, socket.SO_DOMAIN) == writer.family


def test_files_and_pipes_pass_through_untouched(emulation, tmp_path):
    path = tmp_path / "data"
    path.write_bytes(b"".join(MESSAGES))
    assert path.read_bytes() == b"".join(MESSAGES)
    r, w = os.pipe()
    with os.fdopen(r, "rb", buffering=0) as reader, os.fdopen(w, "wb", buffering=0) as writer:
        for message in MESSAGES:
            writer.write(message)
            assert reader.read(len(message)) == message


def test_a_reused_descriptor_number_is_not_taken_for_a_can_socket(emulation):
    can = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
    number = can.fileno()
    can.close()
    a, b = socket.socketpair(socket.AF_UNIX, socket.SOCK_SEQPACKET)
    with a, b:
        reused = a if a.fileno() == number else b
        other = b if reused is a else a
        assert reused.fileno() == number
        other.send(b"\0")  # would be dropped as a hub wake-up if the number were still emulated
        reused.settimeout(10)
        assert reused.recv(16) == b"\0"


def test_kernel_interfaces_still_resolve(emulation):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        ifreq = fcntl.ioctl(s, 0x8933, struct.pack("16si20x", b"lo", 0))  # SIOCGIFINDEX
    assert struct.unpack_from("16si", ifreq)[1] == socket.if_nametoindex("lo") == 1
    assert socket.if_indextoname(1) == "lo"


def test_a_child_made_by_vfork_leaves_the_parents_sockets_emulated(emulation):
    import subprocess
    import sys

    with socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW) as can:
        # subprocess starts its child with vfork where it can; the child closes every descriptor above 2
        # in the parent's memory before it execs.
        subprocess.run([sys.executable, "-c", "pass"], check=True, close_fds=True)
        can.bind((emulation.iface,))  # a plain socket's bind refuses a CAN address: EINVAL
        with Peer(emulation.iface) as peer:
            can.send(pack(0x7, b"after"))
            assert peer.recv(timeout=10) == (0x7, b"after")
