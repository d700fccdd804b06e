"""Decoding of TransformStamped-shaped objects, through insert_transform_stamped."""

import math
import sys

import numpy as np
import pytest

from quilm_tf._native import TransformError

LIMIT_NS = 2**31 * 10**9
SECONDS = "timestamp seconds must be non-negative"
NANOSECONDS = "timestamp nanoseconds must be less than one second"
NORM_2 = "transform quaternion has norm 2, expected 1"
READS = [
    "header", "transform", "transform.translation", "transform.rotation",
    "header.stamp", "header.stamp.sec", "header.stamp.nanosec",
    "transform.translation.x", "transform.translation.y", "transform.translation.z",
    "transform.rotation.x", "transform.rotation.y", "transform.rotation.z", "transform.rotation.w",
    "header.frame_id", "child_frame_id",
]  # fmt: skip


@pytest.mark.parametrize(
    ("sec", "nanosec", "stamp_ns"),
    [
        (0, 1, 1),
        (2_147_483_647, 999_999_999, LIMIT_NS - 1),
        (np.int32(7), np.uint32(3), 7_000_000_003),  # __index__ objects count as integers
    ],
)
def test_stamp_decodes_to_nanoseconds(buffer, ros, sec, nanosec, stamp_ns):
    buffer.insert_transform_stamped(ros.transform_stamped(sec=sec, nanosec=nanosec))
    # A single dynamic sample answers at its own stamp and nowhere else.
    assert [buffer.can_transform("base", "world", stamp_ns + d) for d in (-1, 0, 1)] == [False, True, False]


def test_translation_and_rotation_reach_the_buffer(buffer, ros):
    half = math.sqrt(0.5)
    buffer.insert_transform_stamped(ros.transform_stamped(translation=(1, 2, 3), rotation=(0.0, 0.0, half, half)))
    result = buffer.lookup("base", "world", 1_000_000_000)
    # 90 degrees about z: the child's x axis is the parent's y axis.
    expected = [[0.0, -1.0, 0.0, 1.0], [1.0, 0.0, 0.0, 2.0], [0.0, 0.0, 1.0, 3.0], [0.0, 0.0, 0.0, 1.0]]
    assert np.allclose(result, expected, rtol=0, atol=1e-12)


def test_attributes_are_read_once_each_in_order(buffer, ros, log):
    buffer.insert_transform_stamped(ros.recorded(ros.transform_stamped(), log))
    assert log == READS


@pytest.mark.parametrize("missing", READS)
def test_a_missing_attribute_stops_decoding_where_it_is_read(buffer, ros, log, missing):
    message = ros.changed(ros.transform_stamped(), **{missing.replace(".", "__"): ...})
    with pytest.raises(AttributeError):
        buffer.insert_transform_stamped(ros.recorded(message, log))
    assert log == READS[: READS.index(missing) + 1]


@pytest.mark.parametrize(
    ("changes", "error", "message"),
    [
        ({"header__stamp__sec": -1}, ValueError, SECONDS),
        ({"header__stamp__nanosec": 2**32 - 1}, ValueError, NANOSECONDS),
        ({"header__stamp__sec": 2**31}, OverflowError, "Python int too large to convert to C int"),
        ({"header__stamp__sec": -(2**31) - 1}, OverflowError, "Python int too large to convert to C int"),
        ({"header__stamp__nanosec": 2**32}, OverflowError, "Python int too large to convert to C unsigned int"),
        ({"header__stamp__sec": 1.0}, TypeError, None),
        ({"transform__rotation__w": 2.0}, TransformError, NORM_2),
        ({"transform__translation__x": math.nan}, TransformError, "transform contains a non-finite component"),
        ({"transform__translation__y": "1.0"}, TypeError, None),
        ({"header__frame_id": b"world"}, TypeError, "'bytes' object cannot be converted to 'str'"),
        ({"child_frame_id": 7}, TypeError, "'int' object cannot be converted to 'str'"),
        # Both stamp fields are converted before either is checked, seconds first.
        ({"header__stamp__sec": -1, "header__stamp__nanosec": -1}, OverflowError, "can't convert negative int to unsigned"),
        ({"header__stamp__sec": -1, "header__stamp__nanosec": 2 * 10**9}, ValueError, SECONDS),
        # The stamp is checked before the translation values are read...
        ({"header__stamp__sec": -1, "transform__translation__x": ...}, ValueError, SECONDS),
        ({"header__stamp__nanosec": 10**9, "transform__translation__x": "x"}, ValueError, NANOSECONDS),
        # ...the values are all converted before the pose is checked...
        ({"transform__translation__z": "z", "transform__rotation__w": 0.0}, TypeError, None),
        # ...and the pose is checked before the names are read.
        ({"transform__rotation__w": 2.0, "header__frame_id": 5}, TransformError, NORM_2),
    ],
)
def test_bad_fields_raise_the_first_failure_in_read_order_without_a_note(buffer, ros, refused, changes, error, message):
    refused(lambda: buffer.insert_transform_stamped(ros.changed(ros.transform_stamped(), **changes)), error, message)


def test_decoding_neither_keeps_nor_leaks_references(buffer, ros):
    message = ros.transform_stamped(parent="world_frame_with_a_long_name", child="base_frame_with_a_long_name")
    header, transform = message.header, message.transform
    parts = [message, header, header.stamp, header.frame_id, transform, transform.translation, transform.rotation, message.child_frame_id]
    before = [sys.getrefcount(part) for part in parts]
    buffer.insert_transform_stamped(message)
    transform.rotation.w = 0.0
    with pytest.raises(TransformError):
        buffer.insert_transform_stamped(message)
    assert [sys.getrefcount(part) for part in parts] == before
