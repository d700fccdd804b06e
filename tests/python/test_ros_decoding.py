"""Decoding of TransformStamped-shaped objects, through insert_transform_stamped."""

import math
import sys

import numpy as np
import pytest

from quilm_tf._native import TransformBuffer, TransformError

LIMIT_NS = 2**31 * 10**9


@pytest.fixture
def buffer():
    return TransformBuffer(1000.0)


def stored_only_at(buffer, stamp_ns, child="base", parent="world"):
    """A single dynamic sample answers exactly at its own stamp and nowhere else."""
    return (
        buffer.can_transform(child, parent, stamp_ns)
        and not buffer.can_transform(child, parent, stamp_ns - 1)
        and not buffer.can_transform(child, parent, stamp_ns + 1)
    )


@pytest.mark.parametrize(
    ("sec", "nanosec", "stamp_ns"),
    [
        (1, 500_000_000, 1_500_000_000),
        (0, 1, 1),
        (2_147_483_647, 999_999_999, LIMIT_NS - 1),
        (np.int32(7), np.uint32(3), 7_000_000_003),  # __index__ objects count as integers
        (True, 0, 1_000_000_000),
    ],
)
def test_stamp_decodes_to_nanoseconds(buffer, ros, sec, nanosec, stamp_ns):
    buffer.insert_transform_stamped(ros.transform_stamped(sec=sec, nanosec=nanosec))
    assert stored_only_at(buffer, stamp_ns)


@pytest.mark.parametrize(
    ("sec", "nanosec", "error", "message"),
    [
        (-1, 0, ValueError, "timestamp seconds must be non-negative"),
        (-(2**31), 0, ValueError, "timestamp seconds must be non-negative"),
        # Both fields are converted before either is checked, seconds checked first.
        (-1, 2_000_000_000, ValueError, "timestamp seconds must be non-negative"),
        (0, 1_000_000_000, ValueError, "timestamp nanoseconds must be less than one second"),
        (0, 2**32 - 1, ValueError, "timestamp nanoseconds must be less than one second"),
        (2**31, 0, OverflowError, None),
        (-(2**31) - 1, 0, OverflowError, None),
        (2**70, 0, OverflowError, None),
        (0, -1, OverflowError, None),
        (0, 2**32, OverflowError, None),
        (-1, -1, OverflowError, None),  # nanosec's conversion precedes the seconds check
        (1.0, 0, TypeError, None),
        (0, 0.5, TypeError, None),
        ("1", 0, TypeError, None),
        (None, 0, TypeError, None),
    ],
)
def test_bad_stamp_raises_without_note(buffer, ros, sec, nanosec, error, message):
    with pytest.raises(error) as info:
        buffer.insert_transform_stamped(ros.transform_stamped(sec=sec, nanosec=nanosec))
    if message is not None:
        assert info.value.args == (message,)
    assert not hasattr(info.value, "__notes__")
    assert not buffer.can_transform("base", "world", 0)


def test_zero_stamp_is_reserved_for_static_transforms(buffer, ros):
    with pytest.raises(TransformError) as info:
        buffer.insert_transform_stamped(ros.transform_stamped(sec=0, nanosec=0))
    assert str(info.value) == 'dynamic transform "world" -> "base" has the reserved zero timestamp'
    buffer.insert_transform_stamped(ros.transform_stamped(sec=0, nanosec=0), is_static=True)
    assert buffer.can_transform("base", "world", 123)


def test_translation_and_rotation_reach_the_buffer(buffer, ros):
    half = math.sqrt(0.5)
    message = ros.transform_stamped(translation=(1, 2, 3), rotation=(0.0, 0.0, half, half))
    buffer.insert_transform_stamped(message)
    result = buffer.lookup("base", "world", 1_000_000_000)
    # 90 degrees about z: the child's x axis is the parent's y axis.
    expected = [[0.0, -1.0, 0.0, 1.0], [1.0, 0.0, 0.0, 2.0], [0.0, 0.0, 1.0, 3.0], [0.0, 0.0, 0.0, 1.0]]
    assert np.allclose(result, expected, rtol=0, atol=1e-12)
    assert result[3] == [0.0, 0.0, 0.0, 1.0]


def test_rotation_within_tolerance_is_divided_by_its_norm(buffer, ros):
    buffer.insert_transform_stamped(ros.transform_stamped(rotation=(0.0, 0.0, 0.0, 1.0000005)))
    assert buffer.lookup("base", "world", 1_000_000_000) == ros.identity


@pytest.mark.parametrize(
    ("translation", "rotation", "message"),
    [
        ((0, 0, 0), (0, 0, 0, 0), "transform quaternion has norm 0, expected 1"),
        ((0, 0, 0), (0, 0, 0, 2), "transform quaternion has norm 2, expected 1"),
        ((0, 0, 0), (0, 0, 0, 1.000002), "transform quaternion has norm 1.000002, expected 1"),
        ((math.nan, 0, 0), (0, 0, 0, 1), "transform contains a non-finite component"),
        ((0, 0, math.inf), (0, 0, 0, 1), "transform contains a non-finite component"),
        ((0, 0, 0), (0, 0, 0, math.inf), "transform contains a non-finite component"),
    ],
)
def test_bad_pose_raises_transform_error(buffer, ros, translation, rotation, message):
    with pytest.raises(TransformError) as info:
        buffer.insert_transform_stamped(ros.transform_stamped(translation=translation, rotation=rotation))
    assert info.value.args == (message,)
    assert not buffer.can_transform("base", "world", 1_000_000_000)


@pytest.mark.parametrize(
    ("path", "value"),
    [
        ("transform.translation.y", "1.0"),
        ("transform.rotation.w", None),
        ("header.frame_id", b"world"),
        ("child_frame_id", 7),
    ],
)
def test_wrongly_typed_field_raises_type_error_without_note(buffer, ros, path, value):
    message = ros.transform_stamped()
    *parents, name = path.split(".")
    node = message
    for part in parents:
        node = getattr(node, part)
    setattr(node, name, value)
    with pytest.raises(TypeError) as info:
        buffer.insert_transform_stamped(message)
    assert not hasattr(info.value, "__notes__")


def test_names_are_passed_on_unnormalised(buffer, ros):
    buffer.insert_transform_stamped(ros.transform_stamped(parent="/map", child="//robot"))
    assert buffer.can_transform("robot", "map", 1_000_000_000)
    with pytest.raises(TransformError) as info:
        buffer.insert_transform_stamped(ros.transform_stamped(parent="/a/b", child="c"))
    assert str(info.value) == 'invalid frame "/a/b": frame name must be unqualified'


EXPECTED_READS = [
    "header",
    "transform",
    "transform.translation",
    "transform.rotation",
    "header.stamp",
    "header.stamp.sec",
    "header.stamp.nanosec",
    "transform.translation.x",
    "transform.translation.y",
    "transform.translation.z",
    "transform.rotation.x",
    "transform.rotation.y",
    "transform.rotation.z",
    "transform.rotation.w",
    "header.frame_id",
    "child_frame_id",
]


def test_attributes_are_read_once_each_in_order(buffer, ros):
    log = []
    buffer.insert_transform_stamped(ros.recorded(ros.transform_stamped(), log))
    assert log == EXPECTED_READS


@pytest.mark.parametrize("missing", EXPECTED_READS)
def test_missing_attribute_stops_decoding_where_it_is_read(buffer, ros, missing):
    message = ros.transform_stamped()
    *parents, name = missing.split(".")
    node = message
    for part in parents:
        node = getattr(node, part)
    delattr(node, name)
    log = []
    with pytest.raises(AttributeError):
        buffer.insert_transform_stamped(ros.recorded(message, log))
    assert log == EXPECTED_READS[: EXPECTED_READS.index(missing) + 1]


@pytest.mark.parametrize(
    ("change", "error"),
    [
        # The stamp is decoded before the translation values are read...
        (lambda m: (delattr(m.transform.translation, "x"), setattr(m.header.stamp, "sec", -1)), ValueError),
        # ...but after all four containers are found.
        (lambda m: (delattr(m.transform, "translation"), setattr(m.header.stamp, "sec", -1)), AttributeError),
        # The pose is checked before the names are read.
        (lambda m: (setattr(m.transform.rotation, "w", 2.0), delattr(m, "child_frame_id")), TransformError),
        (lambda m: (setattr(m.transform.rotation, "w", 2.0), setattr(m.header, "frame_id", 5)), TransformError),
        # A bad nanosec stops before the translation is looked at.
        (lambda m: (setattr(m.header.stamp, "nanosec", 10**9), setattr(m.transform.translation, "x", "x")), ValueError),
        (lambda m: (setattr(m.transform.translation, "z", "z"), setattr(m.transform.rotation, "w", 0.0)), TypeError),
    ],
)
def test_first_failure_in_read_order_wins(buffer, ros, change, error):
    message = ros.transform_stamped()
    change(message)
    with pytest.raises(error):
        buffer.insert_transform_stamped(message)


def test_integer_components_are_accepted_as_floats(buffer, ros):
    buffer.insert_transform_stamped(ros.transform_stamped(translation=(1, 2, 3), rotation=(0, 0, 0, 1)))
    assert buffer.lookup("base", "world", 1_000_000_000) == ros.translation_matrix(1.0, 2.0, 3.0)


def test_decoding_neither_keeps_nor_leaks_references(buffer, ros):
    message = ros.transform_stamped(parent="world_frame_with_a_long_name", child="base_frame_with_a_long_name")
    parts = [
        message,
        message.header,
        message.header.stamp,
        message.header.frame_id,
        message.transform,
        message.transform.translation,
        message.transform.rotation,
        message.child_frame_id,
    ]
    before = [sys.getrefcount(part) for part in parts]
    for _ in range(3):
        buffer.insert_transform_stamped(message)
    message.transform.rotation.w = 0.0
    for _ in range(3):
        with pytest.raises(TransformError):
            buffer.insert_transform_stamped(message)
    assert [sys.getrefcount(part) for part in parts] == before
