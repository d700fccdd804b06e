"""Point clouds: transform_cloud and deskew_cloud on real message classes and plain objects,
against numpy references built from lookup and lookup_across_time."""

import array
import math
import threading
from fractions import Fraction
from types import SimpleNamespace as NS

import numpy as np
import pytest
from rosbags.typesys import Stores, get_typestore

import quilm_tf
from quilm_tf import TransformBuffer, TransformError

S = 1_000_000_000
STAMP_NS = 11 * S
TYPES = get_typestore(Stores.ROS2_HUMBLE).types
DATATYPES = {"i1": 1, "u1": 2, "i2": 3, "u2": 4, "i4": 5, "u4": 6, "f4": 7, "f8": 8}


def pose(x, y, yaw):
    c, s = math.cos(yaw), math.sin(yaw)
    return [[c, -s, 0.0, x], [s, c, 0.0, y], [0.0, 0.0, 1.0, 0.25], [0.0, 0.0, 0.0, 1.0]]


@pytest.fixture(scope="module")
def robot():
    """odom -> base drives and turns from 10 s to 12 s at 100 Hz; base -> lidar static."""
    buffer = TransformBuffer(10.0)
    for k in range(201):
        t = k / 100
        buffer.insert_transform(
            "odom", "base", pose(1.5 * t, 0.2 * t, 0.7 * t), 10 * S + k * S // 100
        )
    buffer.insert_transform("base", "lidar", pose(0.3, -0.1, 0.4), 1, True)
    return buffer


def make_cloud(
    points, height, *, kind="rosbags", frame="lidar", stamp_ns=STAMP_NS, row_pad=0, data_type=bytes
):
    """A PointCloud2 of `points` (a structured array, row-major) in `height` rows, each
    followed by `row_pad` marker bytes, with 3 trailing marker bytes."""
    dtype = points.dtype
    width = len(points) // height
    rows = [
        points[r * width : (r + 1) * width].tobytes() + b"\xa5" * row_pad for r in range(height)
    ]
    raw = b"".join(rows) + b"\x5a\x5b\x5c"
    order = ">" if dtype[0].byteorder == ">" else "<"
    fields = [
        (name, dtype.fields[name][1], DATATYPES[dtype.fields[name][0].str[1:]])
        for name in dtype.names
    ]
    stamp = dict(sec=stamp_ns // S, nanosec=stamp_ns % S)
    common = dict(
        height=height,
        width=width,
        is_bigendian=order == ">",
        point_step=dtype.itemsize,
        row_step=dtype.itemsize * width + row_pad,
        is_dense=False,
    )
    if kind == "rosbags":
        header = TYPES["std_msgs/msg/Header"](
            stamp=TYPES["builtin_interfaces/msg/Time"](**stamp), frame_id=frame
        )
        field = TYPES["sensor_msgs/msg/PointField"]
        return TYPES["sensor_msgs/msg/PointCloud2"](
            header=header,
            fields=[field(name=n, offset=o, datatype=d, count=1) for n, o, d in fields],
            data=np.frombuffer(raw, np.uint8).copy(),
            **common,
        )
    return NS(
        header=NS(stamp=NS(**stamp), frame_id=frame),
        fields=[NS(name=n, offset=o, datatype=d, count=1) for n, o, d in fields],
        data=data_type(raw),
        **common,
    )


def points_of(cloud, dtype):
    """The cloud's points as a structured array, row padding skipped."""
    raw = bytes(cloud.data)
    rows = [
        raw[r * cloud.row_step : r * cloud.row_step + cloud.width * cloud.point_step]
        for r in range(cloud.height)
    ]
    return np.frombuffer(b"".join(rows), dtype)


def moved(matrices, points):
    """((R[r,0] x + R[r,1] y) + R[r,2] z) + t[r] per point, in double, stored in the points'
    own type; `matrices` is one 4x4 or one per point."""
    m = np.broadcast_to(np.asarray(matrices, np.float64), (len(points), 4, 4))
    xyz = [points[c].astype(np.float64) for c in "xyz"]
    out = np.frombuffer(bytearray(points.tobytes()), points.dtype)  # padding bytes kept
    for r, c in enumerate("xyz"):
        out[c] = ((m[:, r, 0] * xyz[0] + m[:, r, 1] * xyz[1]) + m[:, r, 2] * xyz[2]) + m[:, r, 3]
    return out


def lidar_points(n, coordinate="<f4", time=("t", "<u4"), seed=0):
    """x, y, z at offsets 0, 8, 16 with 4 padding bytes between, intensity, a time field and
    a ring; some NaN points."""
    names = ["x", "y", "z", "intensity", time[0], "ring"]
    size = np.dtype(coordinate).itemsize
    dtype = np.dtype(
        {
            "names": names,
            "formats": [coordinate] * 3 + ["<f4", time[1], "<u2"],
            "offsets": [0, size + 4, 2 * size + 8, 3 * size + 8, 3 * size + 12, 3 * size + 20],
            "itemsize": 3 * size + 24,
        }
    )
    rng = np.random.default_rng(seed)
    points = np.zeros(n, dtype)
    for c in "xyz":
        points[c] = rng.uniform(-40, 40, n)
    points["x"][3] = np.nan
    points["intensity"] = rng.uniform(0, 1, n)
    points["ring"] = np.arange(n) % 16
    return points


def same(a, b):
    return a.tobytes() == b.tobytes()


@pytest.mark.parametrize("coordinate", ["<f4", "<f8", ">f4", ">f8"])
@pytest.mark.parametrize("kind", ["rosbags", "plain"])
def test_transform_cloud_moves_every_point_and_copies_every_other_byte(robot, coordinate, kind):
    points = lidar_points(600, coordinate.replace(">", "<"))
    if coordinate[0] == ">":
        points = points.astype(points.dtype.newbyteorder(">"))
    cloud = make_cloud(points, 3, kind=kind, row_pad=6)
    before = bytes(cloud.data)
    out = quilm_tf.transform_cloud(robot, cloud, "odom")
    want = moved(robot.lookup("lidar", "odom", STAMP_NS), points)
    assert same(points_of(out, points.dtype), want), "coordinates"
    assert (
        bytes(out.data)[-3:] == b"\x5a\x5b\x5c"
        and bytes(out.data)[200 * points.dtype.itemsize : 200 * points.dtype.itemsize + 6]
        == b"\xa5" * 6
    ), "padding"
    assert bytes(cloud.data) == before, "input changed"
    assert (type(out), out.header.frame_id, out.header.stamp) == (
        type(cloud),
        "odom",
        cloud.header.stamp,
    )
    assert cloud.header.frame_id == "lidar"


@pytest.mark.parametrize("data_type", [bytes, bytearray, lambda raw: array.array("B", raw), list])
def test_the_result_keeps_the_type_of_the_data(robot, data_type):
    cloud = make_cloud(lidar_points(8), 1, kind="plain", data_type=data_type)
    out = quilm_tf.transform_cloud(robot, cloud, "base")
    expected = bytes if data_type is list else type(cloud.data)
    assert type(out.data) is (bytearray if data_type is list else expected)
    assert bytes(out.data) != bytes(cloud.data)


def exact_ns(seconds):
    """Float seconds as the functions read them: the value as stored times 1e9, rounded
    to the nearest nanosecond, ties to even."""
    return round(Fraction(float(seconds)) * S)


ENCODINGS = {
    # name: (field dtype, value of a point at offset_ns from the header stamp, time_base)
    "uint32 ns relative": ("<u4", lambda offset_ns: offset_ns, "relative"),
    "float32 s relative": ("<f4", lambda offset_ns: np.float32(offset_ns / S), "relative"),
    "float64 s absolute": ("<f8", lambda offset_ns: (STAMP_NS + offset_ns) / S, "absolute"),
}


def point_times(points, encoding):
    """Each point's time in nanoseconds, computed here from the field's values."""
    _, _, base = ENCODINGS[encoding]
    values = points["t"]
    if values.dtype.kind == "u":
        return [STAMP_NS + int(v) for v in values]
    return [exact_ns(v) + (STAMP_NS if base == "relative" else 0) for v in values]


@pytest.mark.parametrize("resolution_ns", [0, 1_000_000, 333])
@pytest.mark.parametrize("encoding", list(ENCODINGS))
def test_deskew_moves_each_point_by_lookup_across_time_at_its_time(robot, encoding, resolution_ns):
    field, value, base = ENCODINGS[encoding]
    n = 2000
    points = lidar_points(n, time=("t", field))
    # A sweep of 2 ms, points 1 us apart, backwards from the stamp for the first half.
    offsets = [(i - n // 2) * 1000 + (7 if i % 3 else 0) for i in range(n)]
    points["t"] = (
        [value(o) for o in offsets] if field != "<u4" else [o + 5 * 10**6 for o in offsets]
    )
    cloud = make_cloud(points, 4, row_pad=2)
    before = bytes(cloud.data)
    out = quilm_tf.deskew_cloud(
        robot, cloud, "lidar", "odom", "t", time_base=base, resolution_ns=resolution_ns
    )
    times = point_times(points, encoding)
    if resolution_ns:
        rounded = [(t + resolution_ns // 2) // resolution_ns * resolution_ns for t in times]
        assert max(abs(r - t) for r, t in zip(rounded, times)) <= resolution_ns / 2
        times = rounded
    matrices = [
        quilm_tf.lookup_across_time(robot, "lidar", t, "lidar", STAMP_NS, "odom") for t in times
    ]
    assert same(points_of(out, points.dtype), moved(matrices, points)), encoding
    assert bytes(cloud.data) == before, "input changed"
    assert out.header.frame_id == "lidar"


def edited(cloud, **changes):
    """A plain copy of `cloud` with some attributes replaced; fields by name as
    {name: (offset, datatype, count)} or None to drop one."""
    fields = {f.name: (f.offset, f.datatype, f.count) for f in cloud.fields}
    for name, spec in changes.pop("fields", {}).items():
        if spec is None:
            del fields[name]
        else:
            fields[name] = spec
    attributes = {
        k: getattr(cloud, k)
        for k in (
            "header",
            "height",
            "width",
            "is_bigendian",
            "point_step",
            "row_step",
            "data",
            "is_dense",
        )
    }
    attributes.update(changes)
    attributes["fields"] = [
        NS(name=n, offset=o, datatype=d, count=c) for n, (o, d, c) in fields.items()
    ]
    return NS(**attributes)


BAD = [
    ({"fields": {"y": None}}, {}, ValueError, 'point cloud has no field "y"'),
    (
        {"fields": {"z": (8, 6, 1)}},
        {},
        ValueError,
        'point cloud field "z" must be float32 or float64 (datatype 7 or 8), got datatype 6',
    ),
    (
        {"fields": {"x": (0, 7, 3)}},
        {},
        ValueError,
        'point cloud field "x" must have count 1, got 3',
    ),
    (
        {"fields": {"ring": (35, 4, 1)}},
        {"time_field": "ring"},
        ValueError,
        'point cloud field "ring" ends at byte 37, past point_step 36',
    ),
    (
        {"row_step": 71},
        {},
        ValueError,
        "point cloud row_step 71 is less than width * point_step = 72",
    ),
    (
        {"data": bytes(143)},
        {},
        ValueError,
        "point cloud data holds 143 bytes, less than height * row_step = 144",
    ),
    ({}, {"time_field": "stamp"}, ValueError, 'point cloud has no field "stamp"'),
    (
        {},
        {"time_base": "epoch"},
        ValueError,
        'time_base must be "relative" or "absolute", got \'epoch\'',
    ),
    ({}, {"resolution_ns": -1}, ValueError, "resolution_ns must be non-negative, got -1"),
    (
        {"header": NS(stamp=NS(sec=11, nanosec=0), frame_id="mars")},
        {},
        TransformError,
        'failed to look up transform from "mars" to "odom": '
        "frame mars does not exist in the transform tree",
    ),
]


@pytest.mark.parametrize(("changes", "options", "error", "message"), BAD)
def test_bad_input_raises_a_clear_error_and_changes_nothing(
    robot, changes, options, error, message
):
    cloud = edited(make_cloud(lidar_points(4), 2, kind="plain"), **changes)
    before = bytes(cloud.data)
    arguments = {"time_field": "t", **options}
    calls = [lambda: quilm_tf.deskew_cloud(robot, cloud, "odom", "odom", **arguments)]
    if not options:
        calls.append(lambda: quilm_tf.transform_cloud(robot, cloud, "odom"))
    for call in calls:
        with pytest.raises(error) as info:
            call()
        assert str(info.value) == message
    assert bytes(cloud.data) == before


@pytest.mark.parametrize(
    ("time", "error", "message", "note"),
    [
        (np.nan, ValueError, 'point cloud field "t" holds a non-finite time at point 2', None),
        (-20.0, OverflowError, "can't convert negative int to unsigned", "at index 2 of points"),
        (5.0, TransformError, None, "at index 2 of points"),
    ],
)
def test_a_point_whose_time_cannot_be_looked_up_raises_as_lookup_does(
    robot, time, error, message, note
):
    points = lidar_points(4, time=("t", "<f8"))
    points["t"] = [0.0, 0.001, time, 0.0]
    cloud = make_cloud(points, 1)
    with pytest.raises(error) as info:
        quilm_tf.deskew_cloud(robot, cloud, "lidar", "odom", "t")
    if message is not None:
        assert str(info.value) == message
    assert getattr(info.value, "__notes__", None) == (note and [note])


def big_cloud():
    points = lidar_points(400_000, time=("t", "<u4"))
    points["t"] = np.arange(len(points)) % 1_000_000
    return make_cloud(points, 100)


CALLS = {
    "lookup_many": lambda b, c: quilm_tf.lookup_many(
        b, "lidar", "odom", STAMP_NS + np.arange(200_000)
    ),
    "can_transform_many": lambda b, c: quilm_tf.can_transform_many(
        b, "lidar", "odom", STAMP_NS + np.arange(300_000)
    ),
    "transform_points": lambda b, c: quilm_tf.transform_points(
        b, "lidar", "odom", STAMP_NS, np.ones((500_000, 3))
    ),
    "transform_points per point": lambda b, c: quilm_tf.transform_points(
        b, "lidar", "odom", STAMP_NS + np.arange(100_000), np.ones((100_000, 3))
    ),
    "transform_cloud": lambda b, c: quilm_tf.transform_cloud(b, c, "odom"),
    "deskew_cloud": lambda b, c: quilm_tf.deskew_cloud(
        b, c, "lidar", "odom", "t", resolution_ns=10_000
    ),
}


@pytest.mark.parametrize("name", list(CALLS))
def test_array_and_cloud_functions_let_other_threads_run(robot, name):
    """With a long switch interval a spinning thread runs during the call only if the call
    releases the interpreter lock; it yields now and then so the call can take it back."""
    import sys
    import time

    cloud = big_cloud()
    spins = [0]
    stop = threading.Event()

    def spin():
        while not stop.is_set():
            spins[0] += 1
            if spins[0] % 1000 == 0:
                time.sleep(0)

    interval = sys.getswitchinterval()
    sys.setswitchinterval(5.0)
    thread = threading.Thread(target=spin)
    thread.start()
    try:
        while spins[0] == 0:
            time.sleep(0.001)
        before = spins[0]
        for _ in range(5):  # the spinning thread may take a while to wake
            CALLS[name](robot, cloud)
        during = spins[0] - before
    finally:
        stop.set()
        thread.join()
        sys.setswitchinterval(interval)
    assert during > 0, name


def test_inserting_threads_progress_while_large_batches_run_and_nothing_deadlocks(robot):
    buffer = TransformBuffer(10.0)
    buffer.insert_transform("odom", "lidar", pose(0, 0, 0), 1, True)
    inserted = [0]
    stop = threading.Event()

    def insert():
        while not stop.is_set():
            inserted[0] += 1
            buffer.insert_transform("odom", "base", pose(1, 0, 0), 10 * S + inserted[0])

    threads = [threading.Thread(target=insert) for _ in range(2)]
    for thread in threads:
        thread.start()
    try:
        cloud = big_cloud()
        marks = []
        for _ in range(3):
            marks.append(inserted[0])
            quilm_tf.lookup_many(buffer, "lidar", "odom", np.full(300_000, 10 * S))
            quilm_tf.transform_cloud(buffer, cloud, "odom")
        marks.append(inserted[0])
    finally:
        stop.set()
        for thread in threads:
            thread.join()
    assert all(a < b for a, b in zip(marks, marks[1:])), marks
