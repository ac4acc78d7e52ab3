"""The C++ layer over the C API, through the test-only probe extension."""

import gc
import threading
import weakref

import pytest

from claims import Index
from subproc import run_python

U8, U32, U64 = 0xFF, 0xFFFFFFFF, 0xFFFFFFFFFFFFFFFF


@pytest.mark.parametrize(
    "name, value, expected",
    [
        ("u8", 0, 0),
        ("u8", U8, U8),
        ("u32", U32, U32),
        ("u64", U64, U64),
        ("u32", True, 1),
        ("u32", Index(7), 7),
    ],
)
def test_unsigned_conversion_accepts_the_full_range(probe, name, value, expected):
    assert getattr(probe, name)(value) == expected


@pytest.mark.parametrize(
    "name, value",
    [("u8", U8 + 1), ("u8", -1), ("u32", U32 + 1), ("u32", -1), ("u64", U64 + 1), ("u64", -(2**70))],
)
def test_unsigned_conversion_out_of_range_is_overflow_unchanged(probe, name, value):
    with pytest.raises(OverflowError) as raised:
        getattr(probe, name)(value)
    assert not str(raised.value).startswith("argument")


@pytest.mark.parametrize("value, type_name", [("7", "str"), (1.5, "float"), (None, "NoneType"), ([1], "list")])
def test_non_integer_is_a_type_error_naming_the_argument(probe, value, type_name):
    with pytest.raises(TypeError) as raised:
        probe.u32(value)
    assert str(raised.value) == f"argument 'value': '{type_name}' object cannot be interpreted as an integer"
    assert isinstance(raised.value.__cause__, TypeError)
    assert str(raised.value.__cause__) == f"'{type_name}' object cannot be interpreted as an integer"


@pytest.mark.parametrize(
    "call, fragments",
    [
        (lambda p: p.u8(), ["convert()", "missing required argument 'value'"]),
        (lambda p: p.u8(1, 2), ["convert()", "at most 1 argument (2 given)"]),
        (lambda p: p.optional_u64(bogus=1), ["optional_u64()", "'bogus'"]),
    ],
)
def test_argument_collection_uses_the_interpreters_messages(probe, call, fragments):
    with pytest.raises(TypeError) as raised:
        call(probe)
    assert all(fragment in str(raised.value) for fragment in fragments), str(raised.value)


def test_none_means_omitted(probe):
    assert probe.optional_u64() is None
    assert probe.optional_u64(None) is None
    assert probe.optional_u64(value=5) == 5


class ByteSequence:
    def __init__(self, items):
        self.items = items

    def __len__(self):
        return len(self.items)

    def __getitem__(self, index):
        return self.items[index]


@pytest.mark.parametrize(
    "data",
    [
        b"\x01\x02\x03",
        bytearray(b"\x01\x02\x03"),
        type("B", (bytes,), {})(b"\x01\x02\x03"),
        type("BA", (bytearray,), {})(b"\x01\x02\x03"),
        [1, 2, 3],
        (1, 2, 3),
        range(1, 4),
        ByteSequence([1, 2, 3]),
        memoryview(b"\x01\x02\x03"),
    ],
)
def test_payload_from_bytes_likes_and_sequences(probe, data):
    assert probe.payload(data) == b"\x01\x02\x03"


def test_payload_may_be_empty_or_long(probe):
    assert probe.payload(b"") == b""
    assert probe.payload(list(range(256))) == bytes(range(256))


@pytest.mark.parametrize(
    "data, message",
    [
        ("abc", "Can't extract `str` to `Vec`"),
        (5, "'int' object cannot be converted to 'Sequence'"),
        ({1, 2}, "'set' object cannot be converted to 'Sequence'"),
        ({1: 2}, "'dict' object cannot be converted to 'Sequence'"),
        (iter([1, 2]), "'list_iterator' object cannot be converted to 'Sequence'"),
        ([1, "a"], "'str' object cannot be interpreted as an integer"),
        ([1.0], "'float' object cannot be interpreted as an integer"),
    ],
)
def test_payload_type_errors_name_the_argument(probe, data, message):
    with pytest.raises(TypeError) as raised:
        probe.payload(data)
    assert str(raised.value) == f"argument 'data': {message}"
    assert str(raised.value.__cause__) == message


@pytest.mark.parametrize("item", [256, -1])
def test_payload_item_out_of_range_is_overflow(probe, item):
    with pytest.raises(OverflowError):
        probe.payload([1, item])


def test_payload_item_access_errors_propagate(probe):
    class Failing(ByteSequence):
        def __getitem__(self, index):
            raise ValueError("no item")

    with pytest.raises(ValueError, match="no item"):
        probe.payload(Failing([1]))


def test_borrow_conflicts(probe):
    p = probe.Probe()
    with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
        p.hold_exclusive(lambda: p.uses)
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        p.hold_exclusive(lambda: p.hold_exclusive(int))
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        p.hold_shared(lambda: p.hold_exclusive(int))
    assert p.hold_shared(lambda: p.hold_shared(lambda: p.uses)) == 5
    assert p.hold_exclusive(lambda: 42) == 42  # every failed borrow was given back


def test_classes_look_builtin_and_are_closed(probe):
    assert probe.Probe.__module__ == "builtins"
    assert repr(probe.Probe) == "<class 'builtins.Probe'>"
    assert probe.Probe.__text_signature__ == "(label=None)"
    assert probe.Probe.hold_exclusive.__text_signature__ == "($self, callback)"
    assert probe.Probe.__doc__ == "A probe."
    assert repr(probe.Probe("x")) == "<Probe x>"
    with pytest.raises(TypeError):
        type("Sub", (probe.Probe,), {})
    p = probe.Probe()
    with pytest.raises(AttributeError):
        p.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(p)
    with pytest.raises(TypeError, match="cannot create 'builtins.Holder' instances"):
        probe.Holder()


def test_constructor_argument_errors(probe):
    with pytest.raises(TypeError, match="argument 'label': 'int' object cannot be converted to 'str'"):
        probe.Probe(5)


def test_internal_failure_escapes_except_exception(probe):
    kind = probe.internal_failure_type()
    assert kind.__bases__ == (BaseException,)
    p = probe.Probe()
    try:
        p.fail_internally()
    except Exception:  # noqa: BLE001 - the point is that this does not catch it
        pytest.fail("an internal failure must not be an Exception")
    except BaseException as failure:
        assert type(failure) is kind
        assert str(failure) == "probe invariant broke"
    assert p.uses == 0


def test_internal_failure_reports_one_line_on_fd2():
    result = run_python(
        """
        import sys, _drovik_probe
        sys.stderr = None  # the report must not depend on sys.stderr
        try:
            _drovik_probe.Probe().fail_internally()
        except BaseException:
            pass
        """
    )
    lines = result.stderr.splitlines()
    assert len(lines) == 1, result.stderr
    assert "internal failure" in lines[0] and lines[0].endswith(": probe invariant broke")
    assert "MainThread" in lines[0] or "python" in lines[0]


def test_release_without_gil_waits_for_the_next_entry(probe):
    class Payload:
        pass

    obj = Payload()
    alive = weakref.ref(obj)
    probe.drop_in_thread(obj)
    del obj
    assert alive() is not None  # the background thread could not drop it
    probe.u8(1)
    assert alive() is None


def test_background_thread_attaches_for_one_call(probe):
    seen = []
    assert probe.call_from_thread(lambda: seen.append(threading.get_ident())) is True
    assert seen and seen[0] != threading.get_ident()


def test_held_objects_take_part_in_cycle_collection(probe):
    class Node:
        pass

    node = Node()
    node.holder = probe.make_holder(node)
    alive = weakref.ref(node)
    del node
    gc.collect()
    assert alive() is None
