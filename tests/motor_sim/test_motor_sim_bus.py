"""The simulator on a CAN bus, driven and read by a peer on the standard socket module."""

import errno
import struct
import time

import pytest

from peer import DEADLINE, EFF_FLAG, RTR_FLAG

FEEDBACK = struct.Struct("<fhh")


def speed_count(data: bytes) -> int:
    return FEEDBACK.unpack(data)[1]


def test_feedback_streams_at_rest_before_any_broadcast(simulator, peer):
    simulator("slot=0,id=0x201,mode=speed", rate=500)
    assert next(peer.feedback(0x201)) == bytes(8)


def test_each_driver_follows_its_own_slot(simulator, peer):
    # Feedback identifiers in a different order from the slots.
    simulator("slot=2,id=0x201,mode=speed", "slot=0,id=0x202,mode=speed",
              "slot=3,id=0x203,mode=speed", "slot=1,id=0x204,mode=speed")
    peer.broadcast((100, -50, -1, 23))
    for word, count, speed_bytes in [(0x201, -1, "FF FF"), (0x202, 100, "64 00"),
                                     (0x203, 23, "17 00"), (0x204, -50, "CE FF")]:
        data = peer.feedback_until(word, lambda d: speed_count(d) == count)[-1]
        assert data[4:6] == bytes.fromhex(speed_bytes)
        position, _, current = FEEDBACK.unpack(data)
        assert position * count > 0


@pytest.mark.parametrize("count, limit", [(32767, "FF 7F"), (-32768, "00 80")])
def test_counts_saturate_instead_of_wrapping(simulator, peer, count, limit):
    simulator("slot=1,id=0x201,mode=current")
    peer.broadcast((0, count, 0, 0))
    seen = peer.feedback_until(0x201, lambda d: d[4:6] == bytes.fromhex(limit))
    speeds = [speed_count(d) for d in seen]
    sign = 1 if count > 0 else -1
    assert all(sign * a <= sign * b for a, b in zip(speeds, speeds[1:])), "the speed count wrapped"
    assert seen[-1][6:8] == bytes.fromhex(limit)


@pytest.mark.parametrize("count", [314, -157])
def test_position_mode_settles_on_the_target(simulator, peer, count):
    simulator("slot=3,id=0x201,mode=position")
    peer.broadcast((0, 0, 0, count))
    exact = struct.pack("<f", count / 100)
    settled = peer.feedback_until(0x201, lambda d: d[0:4] == exact)[-1]
    assert settled == exact + bytes(4)


def test_frames_that_are_not_broadcasts_are_ignored(simulator, peer):
    simulator("slot=0,id=0x201,mode=speed")
    go = struct.pack("<4h", 100, 100, 100, 100)
    peer.send(0x101, go)  # another identifier
    peer.send(0x100, go[:7])  # wrong lengths
    peer.send(0x100, b"")
    peer.send(RTR_FLAG | 0x100, go)  # a remote request carries no targets
    # Any of them taken as a target of 10 rad/s would show within a tick or two.
    still = [data for data, _ in zip(peer.feedback(0x201), range(50))]
    assert still == [bytes(8)] * 50
    peer.broadcast((100, 0, 0, 0))
    peer.feedback_until(0x201, lambda d: speed_count(d) == 100)


def test_extended_identifiers(simulator, peer):
    simulator("slot=0,id=0x18FF0201,mode=speed", broadcast_id=0x18FF0100)
    peer.broadcast((-50, 0, 0, 0), word=EFF_FLAG | 0x18FF0100)
    peer.feedback_until(EFF_FLAG | 0x18FF0201, lambda d: speed_count(d) == -50)


def test_rate_zero_answers_each_broadcast_once(simulator, peer):
    sim = simulator("slot=0,id=0x201,mode=speed", "slot=1,id=0x202,mode=position", rate=0)
    replies = []
    for counts in [(100, 314, 0, 0), (0, 0, 0, 0), (100, 314, 0, 0)]:
        peer.broadcast(counts)
        answer = {}
        for word, data in peer.frames():
            answer[word] = data
            if len(answer) == 2:
                break
        replies.append(answer)
    # Each answer shows the state reached before that broadcast's targets apply.
    assert replies[0] == {0x201: bytes(8), 0x202: bytes(8)}
    assert FEEDBACK.unpack(replies[1][0x201])[0] > 0 and FEEDBACK.unpack(replies[1][0x202])[0] > 0
    sim.stop()
    assert (sim.broadcasts, sim.feedback_sent, sim.feedback_dropped) == (3, 6, 0)


def test_a_link_flap_loses_frames_but_not_the_drivers(simulator, peer, link):
    sim = simulator("slot=0,id=0x201,mode=speed")
    next(peer.feedback(0x201))
    link(False)
    deadline = time.monotonic() + DEADLINE
    while sim.feedback_dropped == 0:
        assert time.monotonic() < deadline, "no feedback send failed while the link was down"
        time.sleep(0.01)
    link(True)
    try:
        peer.broadcast((100, 0, 0, 0))
    except OSError as error:  # the peer's own socket is owed the flap's error once
        assert error.errno == errno.ENETDOWN
        peer.broadcast((100, 0, 0, 0))
    peer.feedback_until(0x201, lambda d: speed_count(d) == 100)
