# The extension's surface: its names against the type stub, how it binds and converts
# arguments (numbers, stamps, matrices, flags, names, ROS messages) and results, and the
# exceptions (types, texts, notes) that it raises for each.

import collections.abc
import importlib.util
from types import SimpleNamespace

import numpy as np
import pytest
import quilm_tf._native as native
from quilm_tf._native import (
    FilterFailureReason as Reason,
)
from quilm_tf._native import (
    FrameError,
    TransformBuffer,
    TransformError,
    require_frame,
)

import quilm_tf

LIMIT_NS = 2**31 * 10**9
I4 = [[1.0, 0.0, 0.0, 0.0], [0.0, 1.0, 0.0, 0.0], [0.0, 0.0, 1.0, 0.0], [0.0, 0.0, 0.0, 1.0]]
SHAPE, RANGE = "matrix must have shape 4x4", "stamp_ns exceeds the ROS Time range"
STR_ROWS, NEGATIVE = "Can't extract `str` to `Vec`", "can't convert negative int to unsigned"
HISTORY = "history_seconds must be finite and non-negative"
SECONDS = "timestamp seconds must be non-negative"
NANOSECONDS = "timestamp nanoseconds must be less than one second"


def cannot(kind, into):
    return f"'{kind}' object cannot be converted to '{into}'"


def test_the_package_re_exports_the_modules_names_in_order():
    # The stub is checked against the module by stubtest; this is what it does not check.
    names = [name for name in vars(native) if not name.startswith("_")]
    assert names == native.__all__ == quilm_tf.__all__[: len(names)]
    assert all(getattr(quilm_tf, name) is getattr(native, name) for name in names)
    assert {getattr(native, name).__module__ for name in names} == {"quilm_tf._native"}
    assert native.__file__.endswith(".abi3.so")


def test_a_second_module_object_shares_the_process_wide_types():
    again = importlib.util.module_from_spec(native.__spec__)
    native.__spec__.loader.exec_module(again)
    assert again is not native and all(
        getattr(again, n) is getattr(native, n) for n in native.__all__ if n != "require_frame"
    )
    pytest.raises(
        native.FrameError, again.require_frame, "a", "b", "c"
    )  # raised through one module object, caught through the other


@pytest.mark.parametrize(("call", "message"), [
    (lambda b: require_frame("a", "b"),
     "require_frame() missing required argument 'interface' (pos 3)"),
    (lambda b: require_frame("a", "b", "c", "d"),
     "require_frame() takes exactly 3 positional arguments (4 given)"),
    (lambda b: b.insert_transform("a", "b", [], 1, False, 2),
     "insert_transform() takes at most 5 positional arguments (6 given)"),
    (lambda b: b.insert_transform_stamped(None, static=True),
     "insert_transform_stamped() got an unexpected keyword argument 'static'"),
    (lambda b: b.lookup("a", "b", 1, from_frame="c"),
     "argument for lookup() given by name ('from_frame') and position (1)"),
])  # fmt: skip
def test_binding_errors_use_the_interpreters_wording(buffer, refused, call, message):
    refused(lambda: call(buffer), TypeError, message)


def shifted(x, y=0.0, z=0.0):
    return [[1.0, 0.0, 0.0, x], [0.0, 1.0, 0.0, y], [0.0, 0.0, 1.0, z], [0.0, 0.0, 0.0, 1.0]]


# Fails the C sequence check; counts as a sequence only through registration.
RegisteredRows = collections.abc.Sequence.register(type("RegisteredRows", (dict,), {}))


@pytest.mark.parametrize(("history", "error", "message"), [
    # The rounding and the bound of the window are the core's; here, how the binding refuses
    # a negative and a finite float too large.
    (-1e-300, ValueError, HISTORY), (2.0**64, ValueError, "history_seconds is too large"),
])  # fmt: skip
def test_history_seconds_is_a_real_number_of_seconds_or_refused(refused, history, error, message):
    refused(lambda: TransformBuffer(history), error, message)


@pytest.mark.parametrize("make", [
    lambda rows: tuple(map(tuple, rows)), np.array, lambda rows: [np.float32(r) for r in rows],
    lambda rows: RegisteredRows(enumerate(rows)),
], ids=["tuples", "ndarray", "float32 rows", "registered"])  # fmt: skip
def test_any_sequence_of_sequences_maps_the_child_into_the_parent(buffer, make):
    # Numpy integers are integers and numpy bools are bools.
    buffer.insert_transform("world", "base", make(shifted(1.0, 2.0, 3.0)), np.uint64(1), np.False_)
    assert buffer.lookup("base", "world", 1) == shifted(1.0, 2.0, 3.0)
    inverse = buffer.lookup(to_frame="base", from_frame="world", stamp_ns=np.int32(1))
    assert inverse == shifted(-1.0, -2.0, -3.0)
    assert buffer.can_transform("base", stamp_ns=2, to_frame="world") is False


@pytest.mark.parametrize(("args", "error", "message", "note"), [
    # Conversions in parameter order, each failure naming its parameter...
    ((1, 2, "m", -1, 0), TypeError, cannot("int", "str"), "parent"),
    (("w", "b", "m", -1, 0), TypeError, STR_ROWS, "matrix"),
    (("w", "b", {0: I4[0]}, 1), TypeError, cannot("dict", "Sequence"), "matrix"),
    (("w", "b", I4[:3], -1, 0), OverflowError, NEGATIVE, "stamp_ns"),
    (("w", "b", I4[:3], 1, 0), TypeError, cannot("int", "bool"), "is_static"),
    # ...then the shape, the rigidity and only then the time range.
    (("w", "b", I4[:3] + [[0.0] * 3], LIMIT_NS, False), ValueError, SHAPE, None),
    (("w", "b", [[2.0, 0, 0, 0]] + I4[1:], LIMIT_NS, False), TransformError,
     "matrix is not a rigid homogeneous transform", None),
    (("w", "b", I4, 2**64 + 5, True), ValueError, RANGE, None),  # must not wrap round to 5
])  # fmt: skip
def test_insert_transform_refusals_in_parameter_order(buffer, refused, args, error, message, note):
    refused(lambda: buffer.insert_transform(*args), error, message, note)
    if error is ValueError and args[3] >= LIMIT_NS:  # lookups raise the same exception
        refused(lambda: buffer.lookup("w", "w", args[3]), ValueError, RANGE)


def test_insert_transform_message_decodes_every_item_before_inserting_any(buffer, ros, refused):
    items = [
        ros.transform_stamped("map", "odom", translation=(1, 0, 0)),
        ros.transform_stamped("odom", "base", translation=(0, 2, 0)),
    ]
    assert buffer.insert_transform_message(SimpleNamespace(transforms=iter(items))) is None
    assert buffer.lookup("base", "map", 10**9) == shifted(1.0, 2.0)

    def broken():  # a stream that raises after two good items
        yield from (ros.transform_stamped("a", "b"), ros.transform_stamped("b", "c"))
        raise RuntimeError

    message = SimpleNamespace(transforms=broken())
    refused(lambda: buffer.insert_transform_message(message), RuntimeError)
    assert not buffer.can_transform("b", "a", 10**9)
    # Refused by the buffer: the inserts before the refused one stay, none after it.
    items = [("x", "y"), ("x", "base"), ("y", "z")]
    with pytest.raises(TransformError, match='^failed to insert transform "x" -> "base": '):
        buffer.insert_transform_message(
            SimpleNamespace(transforms=[ros.transform_stamped(*item) for item in items])
        )
    assert buffer.can_transform("y", "x", 10**9)
    assert not buffer.can_transform("z", "y", 10**9)


class Recorder(SimpleNamespace):
    # Read-only view of a SimpleNamespace tree that logs every read as a dotted path.

    def __getattr__(self, name):
        path = f"{self.path}.{name}".lstrip(".")
        self.log.append(path)
        value = getattr(self.node, name)
        if isinstance(value, SimpleNamespace):
            return Recorder(node=value, log=self.log, path=path)
        return value


READS = [
    "header", "transform", "transform.translation", "transform.rotation", "header.stamp",
    "header.stamp.sec", "header.stamp.nanosec", *(f"transform.translation.{a}" for a in "xyz"),
    *(f"transform.rotation.{a}" for a in "xyzw"), "header.frame_id", "child_frame_id",
]  # fmt: skip


# Each attribute is read once, in this order, and a missing one ends the reading there.
@pytest.mark.parametrize("missing", [None, "transform.rotation", "header.stamp.nanosec"])
def test_a_transform_stamped_is_read_once_per_attribute_in_order(buffer, ros, log, missing):
    message = ros.transform_stamped(
        sec=2**31 - 1, nanosec=10**9 - 1, translation=(1, 2, 3), rotation=(0, 0, 0.5**0.5, 0.5**0.5)
    )
    if missing is not None:
        broken = ros.changed(message, **{missing.replace(".", "__"): ...})
        with pytest.raises(AttributeError):
            buffer.insert_transform_stamped(Recorder(node=broken, log=log, path=""))
        assert log == READS[: READS.index(missing) + 1]
        return
    buffer.insert_transform_stamped(Recorder(node=message, log=log, path=""), is_static=np.True_)
    assert log == READS
    assert buffer.can_transform("base", "world", 0)  # static: valid at all times
    # 90 degrees about z: the child's x axis is the parent's y axis.
    result = buffer.lookup("base", "world", LIMIT_NS - 1)
    expected = [[0, -1, 0, 1], [1, 0, 0, 2], [0, 0, 1, 3], [0, 0, 0, 1]]
    assert np.allclose(result, expected, rtol=0, atol=1e-12)


@pytest.mark.parametrize(("changes", "error", "message"), [
    ({"header__stamp__sec": np.int32(7), "header__stamp__nanosec": np.uint32(3)}, None,
     7_000_000_003),
    ({"header__stamp__sec": 2**31}, OverflowError, "Python int too large to convert to C int"),
    ({"header__stamp__nanosec": 2**32 - 1}, ValueError, NANOSECONDS),
    ({"header__stamp__nanosec": 2**32}, OverflowError,
     "Python int too large to convert to C unsigned int"),
    # Both stamp fields are converted before either is checked, seconds first; the stamp
    # is checked before the pose is read, the pose before the names.
    ({"header__stamp__sec": -1, "header__stamp__nanosec": -1}, OverflowError, NEGATIVE),
    ({"header__stamp__sec": -1, "header__stamp__nanosec": 2 * 10**9}, ValueError, SECONDS),
    ({"header__stamp__nanosec": 10**9, "transform__translation__x": "x"}, ValueError,
     NANOSECONDS),
    ({"transform__translation__z": "z", "transform__rotation__w": 0.0}, TypeError, None),
    ({"transform__rotation__w": 2.0, "header__frame_id": 5}, TransformError,
     "transform quaternion has norm 2, expected 1"),
])  # fmt: skip
def test_transform_stamped_fields_decode_or_raise_the_first_failure_without_a_note(
    buffer, ros, refused, changes, error, message
):
    stamped = ros.changed(ros.transform_stamped(), **changes)
    if error is not None:
        return refused(lambda: buffer.insert_transform_stamped(stamped), error, message)
    # A single dynamic sample answers at its own stamp and nowhere else.
    buffer.insert_transform_stamped(stamped)
    answers = [buffer.can_transform("base", "world", message + d) for d in (-1, 0, 1)]
    assert answers == [False, True, False]


@pytest.mark.parametrize(("args", "error", "message", "note"), [
    (('say "hi"', "l'a\n", 'odd "if"\n'), FrameError,
     'odd "if"\n requires frame "l\'a\\n", got "say \\"hi\\""', None),
    (("map", b"odom", 3), TypeError, cannot("bytes", "str"), "expected"),
])  # fmt: skip
def test_require_frame(refused, args, error, message, note):
    assert require_frame("/é", "/é", "x") is None
    refused(lambda: require_frame(*args), error, message, note)


def test_failure_reasons_print_their_names_and_compare_by_value_only():
    names = ["EMPTY_FRAME_ID", "INVALID_FRAME_ID", "QUEUE_FULL"]
    reasons = [getattr(Reason, name) for name in names]
    for reason, name in zip(reasons, names):
        assert str(reason) == name.lower().replace("_", " ")
        assert repr(reason) == f"FilterFailureReason.{name}"
    everything = type("EqualsEverything", (), {"__eq__": lambda self, other: True})()
    for left in reasons:
        for right in reasons:
            assert (left == right, left != right) == (left is right, left is not right)
        for other in (2, "queue full", None):
            assert (left == other, left != other, other == left) == (False, True, False), other
        assert (left == everything, left != everything) == (True, False)
