"""Bad input without a bus: integers of every size and sign, floats of every kind,
and sequences that lie, through the conversions and the module's own arguments."""

import math

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import drovik
from claims import Claims, Index

EXAMPLES = settings(max_examples=60, deadline=None, database=None,
                    suppress_health_check=[HealthCheck.function_scoped_fixture])
WIDTHS = {"u8": 8, "u32": 32, "u64": 64}
CLAIMED_LENGTHS = st.one_of(st.integers(0, 2**63 - 1), st.sampled_from([ValueError, OverflowError, MemoryError]))
ANY_INT = st.one_of(st.integers(-(2**8), 2**9), st.integers(-(2**65), 2**65), st.integers(-(2**200), 2**200))


@EXAMPLES
@given(name=st.sampled_from(sorted(WIDTHS)), value=ANY_INT, as_bool_or_index=st.booleans())
def test_unsigned_conversions_take_every_integer(probe, name, value, as_bool_or_index):
    arg = Index(value) if as_bool_or_index else value
    if 0 <= value < 2 ** WIDTHS[name]:
        assert getattr(probe, name)(arg) == value
    else:
        with pytest.raises(OverflowError):
            getattr(probe, name)(arg)


@EXAMPLES
@given(items=st.lists(st.one_of(st.integers(0, 255), ANY_INT), max_size=40),
       kind=st.sampled_from([list, tuple]))
def test_payload_from_any_integers(probe, items, kind):
    if all(0 <= b <= 255 for b in items):
        assert probe.payload(kind(items)) == bytes(items)
    else:
        with pytest.raises(OverflowError):
            probe.payload(kind(items))


@EXAMPLES
@given(data=st.binary(max_size=64), kind=st.sampled_from([bytes, bytearray, memoryview]))
def test_payload_from_bytes_likes(probe, data, kind):
    assert probe.payload(kind(data)) == data


@EXAMPLES
@given(
    items=st.lists(st.integers(0, 255), max_size=20),
    length=CLAIMED_LENGTHS,
    fail_at=st.one_of(st.none(), st.integers(0, 60)),
    grow=st.booleans(),
)
def test_payload_from_sequences_that_lie(probe, items, length, fail_at, grow):
    # Only the items read count: neither len() nor its failure matters.
    seq = Claims(items, length, fail_at, grow)
    readable = seq.readable()
    if readable is None:
        with pytest.raises(LookupError, match="item refused"):
            probe.payload(seq)
    else:
        assert probe.payload(seq) == bytes(readable)


def timer_period_ok(frequency, limit=math.inf):
    if not (0 < frequency <= limit and math.isfinite(frequency)):
        return False
    try:
        nanos = math.floor((1.0 / frequency) * 1e9 + 0.5)
    except OverflowError:
        return False
    return 1 <= nanos < 2**63


FREQUENCIES = st.one_of(st.floats(allow_nan=True, allow_infinity=True), st.floats(1e-12, 1e12), ANY_INT)


@EXAMPLES
@given(frequency=FREQUENCIES)
def test_timer_frequency_of_any_number(frequency):
    for make, limit in ((drovik.timer, math.inf), (drovik.precision_timer, 10_000.0),
                        (lambda f: drovik.precision_timer(f, realtime=True), math.inf)):
        try:
            as_float = float(frequency)
        except OverflowError:
            with pytest.raises(OverflowError):
                make(frequency)
            continue
        if timer_period_ok(as_float, limit):
            assert callable(make(frequency))
        else:
            with pytest.raises(ValueError, match="frequency"):
                make(frequency)


@EXAMPLES
@given(timeout=ANY_INT)
def test_time_outs_of_any_integer(timeout):
    manager = drovik.get_task_manager()
    handle = drovik.run_async(lambda: 5)()
    assert handle.wait(timeout_ms=20_000) == 5
    if 0 <= timeout < 2**64:
        assert handle.wait(timeout_ms=timeout) == 5
    else:
        for wait in (handle.wait, manager.wait_all, manager.shutdown):
            with pytest.raises(OverflowError):
                wait(timeout_ms=timeout)
