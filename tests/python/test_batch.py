"""The array functions: each element exactly what lookup gives, each failure what it raises."""

import math
import subprocess
import sys

import numpy as np
import pytest
from quilm_tf._native import _lookup_many, _transform_points

from quilm_tf import TransformBuffer, can_transform_many, lookup_many, transform_points

NS = 10**9
LIMIT_NS = 2**31 * NS


# A rigid 4x4 (Rodrigues) turning `angle` about `axis`, then shifting by t.
def rotation(angle, axis, t):
    x, y, z = np.asarray(axis) / np.linalg.norm(axis)
    k = np.array([[0, -z, y], [z, 0, -x], [-y, x, 0]])
    m = np.eye(4)
    m[:3, :3] = np.eye(3) + math.sin(angle) * k + (1 - math.cos(angle)) * k @ k
    m[:3, 3] = t
    return m.tolist()


@pytest.fixture(scope="module")
def buffer():
    b = TransformBuffer(20.0)
    for k in range(11):  # map -> odom at 1 Hz and odom -> base at 2 Hz, 100 s to 110 s
        b.insert_transform(
            "map", "odom", rotation(0.4 * k, (1, 2, 3), (k, -k, 0.5)), (100 + k) * NS
        )
    for k in range(21):
        b.insert_transform(
            "odom", "base", rotation(0.3 * k, (0, 1, 1), (0.1 * k, 0, 0)), 100 * NS + k * NS // 2
        )
    b.insert_transform("base", "laser", rotation(1.0, (1, 0, 0), (0.2, 0, 0.3)), 0, True)
    return b


# Stamps a microsecond and a nanosecond apart: each has its own transform, however close.
CLOSE = np.concatenate([101 * NS + np.arange(10) * 1000, 104 * NS + np.arange(10)])


def stamps(seed, count):
    rng = np.random.default_rng(seed)
    random = rng.integers(100 * NS, 110 * NS, count)
    return np.concatenate([[100 * NS, 110 * NS], random, CLOSE])


@pytest.mark.parametrize(
    "convert",
    [
        list,
        lambda s: s.astype(np.uint64),
        lambda s: s.astype(">i8"),
        lambda s: np.repeat(s, 2)[::2],
    ],
)
def test_lookup_many_is_lookup_bit_for_bit(buffer, convert):
    # Chain finding is the core's; here, that every stamp gets through the conversion intact.
    distinct = {str(buffer.lookup("laser", "map", int(s))) for s in CLOSE}
    assert len(distinct) == len(CLOSE), "the close stamps' transforms must differ"
    chosen = stamps(1, 40)
    found = lookup_many(buffer, "laser", "map", convert(chosen))
    expected = np.array([buffer.lookup("laser", "map", int(s)) for s in chosen])
    assert found.dtype == np.float64 and found.tobytes() == expected.tobytes()


def test_can_transform_many_is_can_transform_and_never_raises(buffer):
    chosen = [99 * NS, 100 * NS, 105 * NS + 1, 110 * NS, 110 * NS + 1, LIMIT_NS - 1, LIMIT_NS]
    chosen += [2**64, 2**130, -1, -(2**70)]
    expected = [0 <= s < 2**128 and buffer.can_transform("laser", "map", s) for s in chosen]
    assert expected == [False, True, True, True] + [False] * 7
    assert can_transform_many(buffer, "laser", "map", chosen).tolist() == expected
    some = np.array(chosen[1:4], np.uint64)
    assert can_transform_many(buffer, "a/b", "map", some).tolist() == [False] * 3
    small = np.array([-1, 5], np.int8)
    assert can_transform_many(buffer, "laser", "base", small).tolist() == [False, True]
    edge = [LIMIT_NS - 1, LIMIT_NS]
    assert can_transform_many(buffer, "laser", "base", edge).tolist() == [True, False]


# Row i of `points` moved by lookup at stamps_list[i], summed as documented.
def points_at(buffer, frames, stamps_list, points):
    m = np.array([buffer.lookup(*frames, int(s)) for s in stamps_list])
    x, y, z = (points[:, c, None] for c in range(3))
    return ((m[:, :3, 0] * x + m[:, :3, 1] * y) + m[:, :3, 2] * z) + m[:, :3, 3]


@pytest.mark.parametrize(
    "convert",
    [
        lambda p: p,
        lambda p: p.astype(np.float32),
        lambda p: np.repeat(p, 3, axis=0)[::3],
        lambda p: p.astype(">f8"),
        lambda p: p.round().astype(np.int16),
    ],
)
def test_per_point_stamps_are_per_point_lookups(buffer, convert):
    rng = np.random.default_rng(3)
    given = convert(rng.uniform(-5, 5, (80, 3)))
    exact = np.asarray(given, np.float64)
    # Runs of equal stamps, unsorted, among distinct ones.
    chosen = np.concatenate(
        [np.full(7, 101 * NS), stamps(5, 8), np.full(5, 104 * NS + 3), stamps(6, 16)]
    )
    found = transform_points(buffer, "laser", "map", chosen, given)
    assert found.tobytes() == points_at(buffer, ("laser", "map"), chosen, exact).tobytes()
    one = transform_points(buffer, "laser", "map", np.int64(chosen[5]), given)
    same = points_at(buffer, ("laser", "map"), [chosen[5]] * len(chosen), exact)
    assert one.tobytes() == same.tobytes()


@pytest.mark.parametrize(
    ("call", "name"),
    [
        (lambda b, frames, given: lookup_many(b, *frames, given), "stamps_ns"),
        (
            lambda b, frames, given: transform_points(b, *frames, given, np.zeros((len(given), 3))),
            "stamp_ns",
        ),
    ],
)
@pytest.mark.parametrize(
    ("frames", "given", "index"),
    [
        (("laser", "map"), [101 * NS, 99 * NS, -1], 1),
        (("laser", "map"), [100 * NS, 110 * NS, LIMIT_NS, 2**130], 2),
        (("laser", "map"), [100 * NS, 2**130, 99 * NS], 1),
        (("laser", "map"), [100 * NS, 3.5], 1),
        (("laser", "nowhere"), [100 * NS] * 3, 0),
    ],
)
def test_the_first_failing_stamp_raises_what_lookup_raises(
    buffer, call, name, frames, given, index
):
    with pytest.raises(Exception) as expected:
        buffer.lookup(*frames, given[index])
    with pytest.raises(type(expected.value)) as raised:
        call(buffer, frames, given)
    assert raised.value.args == expected.value.args
    assert raised.value.__notes__[-1] == f"at index {index} of {name}"


@pytest.mark.parametrize("stamp", [99 * NS, -1, LIMIT_NS, 2**130, 1.5, "1"])
def test_one_stamp_for_all_points_raises_as_lookup_does(buffer, stamp):
    with pytest.raises(Exception) as expected:
        buffer.lookup("laser", "map", stamp)
    with pytest.raises(type(expected.value)) as raised:
        transform_points(buffer, "laser", "map", stamp, [[1.0, 2.0, 3.0]])
    notes = getattr(expected.value, "__notes__", None)
    assert (raised.value.args, getattr(raised.value, "__notes__", None)) == (
        expected.value.args,
        notes,
    )


ONE_D = "stamps_ns must be a 1-D array of integer stamps, got shape"
POINT_TYPES = "points must hold float32 or float64, got"
I64, F64 = np.ones(2, np.int64), np.zeros((2, 4, 4))


@pytest.mark.parametrize(("call", "error", "message"), [
    (lambda b: lookup_many(b, "a", "b", [[1, 2]]), ValueError, f"{ONE_D} (1, 2)"),
    (lambda b: lookup_many(b, "a", "b", np.ones(2)), TypeError,
     "stamps_ns must hold integers, got dtype float64"),
    (lambda b: transform_points(b, "a", "b", 1, np.ones((4, 2))), ValueError,
     "points must have shape (N, 3), got (4, 2)"),
    (lambda b: transform_points(b, "a", "b", 1, np.ones((1, 3), complex)), TypeError,
     f"{POINT_TYPES} dtype complex128"),
    (lambda b: transform_points(b, "a", "b", [1, 2], np.ones((3, 3))), ValueError,
     "stamp_ns must be one stamp or one per point, shape (3,), got shape (2,)"),
    # The extension checks what it is handed itself: a wrong out must not be written past.
    (lambda b: _lookup_many(b, "a", "b", np.ones(3, np.int64), F64), ValueError,
     "out must have shape (N, 4, 4), got (2, 4, 4)"),
    (lambda b: _lookup_many(b, "a", "b", I64, F64.astype(np.float32)), TypeError,
     "out must hold float64, got format 'f' of 4 bytes"),
    (lambda b: _lookup_many(b, "a", "b", np.ones(2), F64), TypeError,
     "stamps_ns must hold integers, got format 'd' of 8 bytes"),
    (lambda b: _transform_points(b, "a", "b", 1, np.ones((2, 3), np.int64), np.empty((2, 3))),
     TypeError, f"{POINT_TYPES} format 'l' of 8 bytes"),
    (lambda b: _transform_points(b, "a", "b", 1, np.ones((2, 3)), np.empty((3, 3))), ValueError,
     "out must have shape (N, 3), got (3, 3)"),
])  # fmt: skip
def test_wrong_shapes_and_dtypes_are_refused(buffer, call, error, message):
    with pytest.raises(error) as raised:
        call(buffer)
    assert str(raised.value) == message


def test_without_numpy_the_package_imports_and_the_functions_say_how_to_get_it():
    code = (
        "import sys; sys.modules['numpy'] = None; import quilm_tf\n"
        "quilm_tf.lookup_many(quilm_tf.TransformBuffer(1.0), 'a', 'b', [1])"
    )
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    advice = 'quilm_tf.lookup_many needs numpy; install it with: pip install "quilm-tf[numpy]"'
    assert f"ImportError: {advice}" in run.stderr
