import collections.abc
import math
from types import SimpleNamespace

import numpy as np
import pytest

from quilm_tf._native import TransformBuffer, TransformError

LIMIT_NS = 2**31 * 10**9
IDENTITY = [[1.0, 0.0, 0.0, 0.0], [0.0, 1.0, 0.0, 0.0], [0.0, 0.0, 1.0, 0.0], [0.0, 0.0, 0.0, 1.0]]
SCALED = [[2.0, 0.0, 0.0, 0.0], [0.0, 2.0, 0.0, 0.0], [0.0, 0.0, 2.0, 0.0], [0.0, 0.0, 0.0, 1.0]]
HISTORY = "history_seconds must be finite and non-negative"
SHAPE = "matrix must have shape 4x4"
NOT_RIGID = "matrix is not a rigid homogeneous transform"
RANGE = "stamp_ns exceeds the ROS Time range"
STR_ROWS = "Can't extract `str` to `Vec`"


def shifted(x, y=0.0, z=0.0):
    return [[1.0, 0.0, 0.0, x], [0.0, 1.0, 0.0, y], [0.0, 0.0, 1.0, z], [0.0, 0.0, 0.0, 1.0]]


class RegisteredRows(dict):
    """Fails the C sequence check; counts as a sequence only through registration."""

    def __init__(self, rows):
        super().__init__(enumerate(rows))


collections.abc.Sequence.register(RegisteredRows)


@pytest.mark.parametrize(
    ("history", "error", "message", "note"),
    [
        (-1e-300, ValueError, HISTORY, None),
        (math.nan, ValueError, HISTORY, None),
        (math.inf, ValueError, HISTORY, None),
        (2.0**64, ValueError, "history_seconds is too large", None),
        ("10", TypeError, None, "history_seconds"),
        (10**400, OverflowError, None, "history_seconds"),
    ],
)
def test_history_refusals(history, error, message, note, refused):
    refused(lambda: TransformBuffer(history), error, message, note)


@pytest.mark.parametrize(
    ("history", "window_ns"),
    [
        # The doubles nearest 1.5e-9 and 2.5e-9 lie just below and just above the ties, so
        # exact rounding differs from rounding the product history * 1e9.
        (1.5e-9, 1),
        (2.5e-9, 3),
        (1 / 1024, 976_562),  # exactly 976562.5 ns: ties go to the even neighbour
        (3 / 1024, 2_929_688),  # exactly 2929687.5 ns
        (1 + 1 / 1024, 1_000_976_562),
        (np.float32(1.5), 1_500_000_000),
        (-0.0, 0),
    ],
)
def test_history_window_is_rounded_to_nanoseconds_ties_to_even(history, window_ns):
    # After inserts at t and t + gap, the sample at t survives exactly when gap <= window.
    t = 10**12
    for gap, kept in ((window_ns, True), (window_ns + 1, False)):
        buffer = TransformBuffer(history)
        buffer.insert_transform("world", "base", IDENTITY, t)
        buffer.insert_transform("world", "base", IDENTITY, t + gap)
        assert buffer.can_transform("base", "world", t) is kept


def test_the_longest_history_keeps_every_sample():
    buffer = TransformBuffer(2.0**64 - 2048)
    buffer.insert_transform("world", "base", IDENTITY, 1)
    buffer.insert_transform("world", "base", IDENTITY, LIMIT_NS - 1)
    assert buffer.can_transform("base", "world", 1)


@pytest.mark.parametrize(
    ("matrix", "error", "message", "note"),
    [
        (IDENTITY[:3], ValueError, SHAPE, None),
        (IDENTITY + [IDENTITY[3]], ValueError, SHAPE, None),
        ([IDENTITY[0] + [0.0]] + IDENTITY[1:], ValueError, SHAPE, None),
        (IDENTITY[:3] + [[0.0, 0.0, 0.0]], ValueError, SHAPE, None),
        ("1234", TypeError, STR_ROWS, "matrix"),
        (IDENTITY[:3] + ["0001"], TypeError, STR_ROWS, "matrix"),
        ({0: [0.0] * 4}, TypeError, "'dict' object cannot be converted to 'Sequence'", "matrix"),
        (IDENTITY[:3] + [[0.0, 0.0, "0", 1.0]], TypeError, None, "matrix"),
        (IDENTITY[:2] + [[None]], TypeError, None, "matrix"),  # entries are converted before the shape is checked
        ([[1, 0, 0, 0], [0, 1, 0, 0], [0, 0, -1, 0], [0, 0, 0, 1]], TransformError, NOT_RIGID, None),
        ([[1, 0, 0, 0], [0, 1, 0, 0], [0, 0, 1, 0], [0, 0, 1e-5, 1]], TransformError, NOT_RIGID, None),
        ([[1, 0, 0, 0], [0, 1, 0, 0], [0, 0, 1, 0], [0, 0, 0, math.inf]], TransformError, "transform contains a non-finite component", None),
    ],
)
def test_matrix_refusals(buffer, refused, matrix, error, message, note):
    refused(lambda: buffer.insert_transform("world", "base", matrix, 1), error, message, note)


@pytest.mark.parametrize(
    "matrix",
    [
        tuple(tuple(row) for row in shifted(1.0, 2.0, 3.0)),
        np.array(shifted(1.0, 2.0, 3.0)),
        [np.array(row, dtype=np.float32) for row in shifted(1.0, 2.0, 3.0)],
        RegisteredRows(shifted(1.0, 2.0, 3.0)),
    ],
    ids=["tuples", "ndarray", "float32 rows", "registered"],
)
def test_any_sequence_of_sequences_maps_the_child_into_the_parent(buffer, matrix):
    buffer.insert_transform("world", "base", matrix, 1)
    assert buffer.lookup("base", "world", 1) == shifted(1.0, 2.0, 3.0)
    assert buffer.lookup("world", "base", 1) == shifted(-1.0, -2.0, -3.0)


@pytest.mark.parametrize(
    ("args", "error", "message", "note"),
    [
        # Conversions in parameter order: the first bad parameter is named.
        ((1, 2, "m", -1, 0), TypeError, "'int' object cannot be converted to 'str'", "parent"),
        (("w", 2, "m", -1, 0), TypeError, "'int' object cannot be converted to 'str'", "child"),
        (("w", "b", "m", -1, 0), TypeError, STR_ROWS, "matrix"),
        (("w", "b", IDENTITY[:3], -1, 0), OverflowError, "can't convert negative int to unsigned", "stamp_ns"),
        (("w", "b", IDENTITY[:3], 1, 0), TypeError, "'int' object cannot be converted to 'bool'", "is_static"),
        # Then the shape, the rigidity and only then the time range.
        (("w", "b", IDENTITY[:3], LIMIT_NS, False), ValueError, SHAPE, None),
        (("w", "b", SCALED, LIMIT_NS, False), TransformError, NOT_RIGID, None),
        (("w", "w", IDENTITY, LIMIT_NS, False), ValueError, RANGE, None),
    ],
)
def test_insert_checks_in_order(buffer, refused, args, error, message, note):
    refused(lambda: buffer.insert_transform(*args), error, message, note)


@pytest.mark.parametrize(
    ("stamp", "error", "message", "note"),
    [
        (-(2**100), OverflowError, "can't convert negative int to unsigned", "stamp_ns"),
        (2**128, OverflowError, None, "stamp_ns"),
        (1.0, TypeError, None, "stamp_ns"),
        (LIMIT_NS, ValueError, RANGE, None),
        (2**64 + 5, ValueError, RANGE, None),  # must not wrap round to 5
        (2**128 - 1, ValueError, RANGE, None),
    ],
)
def test_stamp_refusals(buffer, refused, stamp, error, message, note):
    buffer.insert_transform("world", "base", IDENTITY, 5, is_static=True)  # answers at any stamp
    refused(lambda: buffer.insert_transform("world", "base", IDENTITY, stamp, True), error, message, note)
    refused(lambda: buffer.lookup("base", "world", stamp), error, message, note)
    if error is ValueError:
        assert buffer.can_transform("base", "world", stamp) is False
    else:
        refused(lambda: buffer.can_transform("base", "world", stamp), error, message, note)


def test_stamps_up_to_the_last_ros_time_and_index_objects_are_accepted(buffer):
    buffer.insert_transform("world", "base", IDENTITY, np.uint64(7))
    assert buffer.can_transform("base", "world", np.int32(7)) and not buffer.can_transform("base", "world", np.int32(8))
    buffer.insert_transform("world", "arm", shifted(1.0), LIMIT_NS - 1)
    assert buffer.lookup("arm", "world", LIMIT_NS - 1) == shifted(1.0)


@pytest.mark.parametrize("flag", [1, None, np.int64(1)])
def test_is_static_refuses_anything_but_a_bool(buffer, ros, refused, flag):
    message = ros.transform_stamped()
    for call in (
        lambda: buffer.insert_transform("world", "base", IDENTITY, 1, flag),
        lambda: buffer.insert_transform_stamped(message, flag),
        lambda: buffer.insert_transform_message(ros.tf_message(message), is_static=flag),
    ):
        refused(call, TypeError, None, "is_static")


@pytest.mark.parametrize(("flag", "static"), [(True, True), (np.True_, True), (np.False_, False)])
def test_is_static_takes_bools_and_numpy_bools(buffer, flag, static):
    buffer.insert_transform("world", "base", IDENTITY, 5, is_static=flag)
    assert buffer.can_transform("base", "world", 123) is static  # static: valid at all times


def test_keyword_arguments(buffer):
    assert TransformBuffer(history_seconds=0.0).can_transform(to_frame="a", from_frame="a", stamp_ns=1)
    buffer.insert_transform(child="base", parent="world", stamp_ns=7, matrix=shifted(1.0), is_static=False)
    assert buffer.lookup(stamp_ns=7, to_frame="world", from_frame="base") == shifted(1.0)
    assert buffer.can_transform("base", stamp_ns=7, to_frame="world") is True


def test_clear_dynamic_keeps_static_links_and_frees_the_children(buffer):
    buffer.insert_transform("odom", "base", IDENTITY, 5)
    buffer.insert_transform("base", "laser", shifted(0.0, 0.0, 1.0), 0, True)
    assert buffer.clear_dynamic() is None
    assert not buffer.can_transform("base", "odom", 5)
    assert buffer.lookup("laser", "base", 99) == shifted(0.0, 0.0, 1.0)
    buffer.insert_transform("map", "base", IDENTITY, 6)  # a cleared child may take another parent
    assert buffer.can_transform("laser", "map", 6)


def test_insert_transform_message_inserts_in_order(buffer, ros):
    message = ros.tf_message(
        ros.transform_stamped("map", "odom", sec=1, translation=(1, 0, 0)),
        ros.transform_stamped("odom", "base", sec=1, translation=(0, 2, 0)),
        ros.transform_stamped("odom", "base", sec=2, translation=(0, 4, 0)),
    )
    assert buffer.insert_transform_message(message) is None
    assert buffer.lookup("base", "map", 10**9) == shifted(1.0, 2.0, 0.0)
    assert buffer.lookup("base", "odom", 2 * 10**9) == shifted(0.0, 4.0, 0.0)


@pytest.mark.parametrize(("failure", "error"), [("decoding", AttributeError), ("iteration", RuntimeError)])
def test_a_failing_item_leaves_the_buffer_untouched(buffer, ros, failure, error):
    def items():
        yield ros.transform_stamped("map", "odom")
        if failure == "decoding":
            yield ros.changed(ros.transform_stamped("odom", "base"), transform__rotation=...)
        raise RuntimeError("stream broke")

    with pytest.raises(error):
        buffer.insert_transform_message(SimpleNamespace(transforms=items()))
    assert not buffer.can_transform("odom", "map", 10**9)


def test_insert_transform_message_keeps_the_inserts_before_a_refusal(buffer, ros):
    buffer.insert_transform("world", "base", IDENTITY, 10**9)
    message = ros.tf_message(
        ros.transform_stamped("map", "odom"),
        ros.transform_stamped("odom", "base"),  # base already has a parent
        ros.transform_stamped("base", "laser"),
    )
    with pytest.raises(TransformError, match='^failed to insert transform "odom" -> "base": '):
        buffer.insert_transform_message(message)
    assert buffer.can_transform("odom", "map", 10**9)
    assert not buffer.can_transform("laser", "base", 10**9)


def test_insert_transform_message_reads_any_iterable_of_transforms(buffer, ros, refused):
    buffer.insert_transform_message(SimpleNamespace(transforms=(m for m in [ros.transform_stamped()])))
    assert buffer.can_transform("base", "world", 10**9)
    refused(lambda: buffer.insert_transform_message(SimpleNamespace(transforms=5)), TypeError)
    refused(lambda: buffer.insert_transform_message(ros.transform_stamped()), AttributeError)

