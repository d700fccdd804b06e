"""Point clouds on rosbags' PointCloud2 and plain objects, against numpy references built from
lookup and lookup_across_time; the interpreter lock released during array and cloud work."""

import array
import math
import sys
import threading
import time
from types import SimpleNamespace as NS

import numpy as np
import pytest
from rosbags.typesys import Stores, get_typestore

import quilm_tf
from quilm_tf import TransformBuffer, TransformError

S = 1_000_000_000
STAMP_NS = 11 * S
TYPES = get_typestore(Stores.ROS2_HUMBLE).types


def pose(x, y, yaw):
    c, s = math.cos(yaw), math.sin(yaw)
    return [[c, -s, 0.0, x], [s, c, 0.0, y], [0.0, 0.0, 1.0, 0.25], [0.0, 0.0, 0.0, 1.0]]


@pytest.fixture(scope="module")
def robot():
    """odom -> base drives and turns from 10 s to 12 s at 100 Hz; base -> lidar static."""
    buffer = TransformBuffer(10.0)
    for k in range(201):
        moving = pose(1.5 * k / 100, 0.2 * k / 100, 0.7 * k / 100)
        buffer.insert_transform("odom", "base", moving, 10 * S + k * S // 100)
    buffer.insert_transform("base", "lidar", pose(0.3, -0.1, 0.4), 1, True)
    return buffer


def make_cloud(points, height, kind="rosbags", data_type=bytes):
    """`points` (structured, row-major) in `height` rows, each followed by 6 marker bytes,
    then 3 trailing ones; rosbags' PointCloud2 or a plain object."""
    dtype, width = points.dtype, len(points) // height
    rows = [points[r * width : (r + 1) * width].tobytes() + b"\xa5" * 6 for r in range(height)]
    raw = b"".join(rows) + b"\x5a\x5b\x5c"
    datatype = {"u2": 4, "u4": 6, "f4": 7, "f8": 8}
    fields = [(n, dtype.fields[n][1], datatype[dtype.fields[n][0].str[1:]]) for n in dtype.names]
    layout = dict(height=height, width=width, is_bigendian=dtype[0].byteorder == ">")
    layout.update(point_step=dtype.itemsize, row_step=dtype.itemsize * width + 6, is_dense=False)
    if kind == "plain":
        return NS(
            header=NS(stamp=NS(sec=STAMP_NS // S, nanosec=0), frame_id="lidar"),
            fields=[NS(name=n, offset=o, datatype=d, count=1) for n, o, d in fields],
            data=data_type(raw),
            **layout,
        )
    stamp = TYPES["builtin_interfaces/msg/Time"](sec=STAMP_NS // S, nanosec=0)
    field = TYPES["sensor_msgs/msg/PointField"]
    return TYPES["sensor_msgs/msg/PointCloud2"](
        header=TYPES["std_msgs/msg/Header"](stamp=stamp, frame_id="lidar"),
        fields=[field(name=n, offset=o, datatype=d, count=1) for n, o, d in fields],
        data=np.frombuffer(raw, np.uint8).copy(),
        **layout,
    )


def points_of(cloud, dtype):
    """The cloud's points as raw structured records, row padding skipped."""
    raw, step = bytes(cloud.data), cloud.row_step
    return np.frombuffer(
        b"".join(raw[r * step : r * step + step - 6] for r in range(cloud.height)), dtype
    )


def moved(matrices, points):
    """((R[r,0] x + R[r,1] y) + R[r,2] z) + t[r] in double, stored in the points' own type,
    with one 4x4 matrix or one per point."""
    m = np.broadcast_to(np.asarray(matrices, np.float64), (len(points), 4, 4))
    x, y, z = (points[c].astype(np.float64) for c in "xyz")
    out = np.frombuffer(bytearray(points.tobytes()), points.dtype)  # padding bytes kept
    for r, c in enumerate("xyz"):
        out[c] = ((m[:, r, 0] * x + m[:, r, 1] * y) + m[:, r, 2] * z) + m[:, r, 3]
    return out


def lidar_points(n, coordinate="<f4", time_type="<u4"):
    """x, y, z with 4 padding bytes after each, intensity, t and ring; point 3 is NaN."""
    size = np.dtype(coordinate).itemsize
    offsets = [0, size + 4, 2 * size + 8, 3 * size + 8, 3 * size + 12, 3 * size + 20]
    formats = [coordinate] * 3 + ["<f4", time_type, "<u2"]
    names = ["x", "y", "z", "intensity", "t", "ring"]
    dtype = np.dtype(dict(names=names, formats=formats, offsets=offsets, itemsize=3 * size + 24))
    rng = np.random.default_rng(0)
    points = np.zeros(n, dtype)
    for c in ("x", "y", "z", "intensity"):
        points[c] = rng.uniform(-40, 40, n)
    points["x"][3] = np.nan
    points["ring"] = np.arange(n) % 16
    return points


@pytest.mark.parametrize("coordinate", ["<f4", ">f8"])
@pytest.mark.parametrize("kind", ["rosbags", "plain"])
def test_transform_cloud_moves_every_point_and_copies_every_other_byte(robot, coordinate, kind):
    points = lidar_points(600, "<" + coordinate[1:])
    points = points.astype(points.dtype.newbyteorder(coordinate[0]))
    cloud = make_cloud(points, 3, kind)
    before = bytes(cloud.data)
    out = quilm_tf.transform_cloud(robot, cloud, "odom")
    want = moved(robot.lookup("lidar", "odom", STAMP_NS), points)
    assert points_of(out, points.dtype).tobytes() == want.tobytes(), "coordinates"
    assert bytes(cloud.data) == before and cloud.header.frame_id == "lidar", "input changed"
    assert (type(out), out.header.frame_id, out.header.stamp) == (
        type(cloud),
        "odom",
        cloud.header.stamp,
    )


@pytest.mark.parametrize("data_type", [bytes, bytearray, lambda raw: array.array("B", raw), list])
def test_the_result_keeps_the_type_of_the_data(robot, data_type):
    cloud = make_cloud(lidar_points(8), 1, "plain", data_type)
    out = quilm_tf.transform_cloud(robot, cloud, "base")
    assert type(out.data) is (bytearray if data_type is list else type(cloud.data))


@pytest.mark.parametrize("resolution_ns", [0, 333])
def test_deskew_moves_each_point_by_lookup_across_time_at_its_time(robot, resolution_ns):
    # How each time encoding is read is the core's; nanoseconds after the header stamp here.
    points = lidar_points(2000)
    # 2 ms of sweep, points a microsecond apart, all after the header stamp.
    points["t"] = [i * 1000 + (7 if i % 3 else 0) for i in range(2000)]
    cloud = make_cloud(points, 4)
    out = quilm_tf.deskew_cloud(robot, cloud, "lidar", "odom", "t", resolution_ns=resolution_ns)
    times = [STAMP_NS + int(t) for t in points["t"]]
    if resolution_ns:
        times = [(t + resolution_ns // 2) // resolution_ns * resolution_ns for t in times]
    matrices = [
        quilm_tf.lookup_across_time(robot, "lidar", t, "lidar", STAMP_NS, "odom") for t in times
    ]
    assert points_of(out, points.dtype).tobytes() == moved(matrices, points).tobytes()


# The layout's rules and texts are the core's; here, that a refusal arrives as an exception
# from both functions, and that the package's own arguments are checked.
BAD = [
    (
        {"data": bytes(155)},
        {},
        ValueError,
        "point cloud data holds 155 bytes, less than height * row_step = 156",
    ),
    (
        {},
        {"time_base": "epoch"},
        ValueError,
        'time_base must be "relative" or "absolute", got \'epoch\'',
    ),
    ({}, {"resolution_ns": -1}, ValueError, "resolution_ns must be non-negative, got -1"),
]


@pytest.mark.parametrize(("changes", "options", "error", "message"), BAD)
def test_bad_input_raises_a_clear_error_and_changes_nothing(
    robot, changes, options, error, message
):
    cloud = NS(**vars(make_cloud(lidar_points(4), 2, "plain")) | changes)
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
    ("seconds", "error", "note"),
    [
        (np.nan, ValueError, None),
        (-20.0, OverflowError, "at index 2 of points"),
        (5.0, TransformError, "at index 2 of points"),
    ],
)
def test_a_point_whose_time_cannot_be_looked_up_raises_as_lookup_does(robot, seconds, error, note):
    points = lidar_points(4, time_type="<f8")
    points["t"] = [11.0, 11.001, seconds, 11.0]  # seconds since the epoch
    with pytest.raises(error) as info:
        quilm_tf.deskew_cloud(
            robot, make_cloud(points, 1), "lidar", "odom", "t", time_base="absolute"
        )
    assert getattr(info.value, "__notes__", None) == (note and [note])


def big_cloud():
    points = lidar_points(400_000)
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
    """With a long switch interval a spinning thread runs during the calls only if they
    release the interpreter lock; it yields now and then so that they can take it back. On a
    loaded machine it may take a few calls to be scheduled."""
    cloud, spins, stop, started = big_cloud(), [0], threading.Event(), threading.Event()

    def spin():
        started.set()
        while not stop.is_set():
            spins[0] += 1
            if spins[0] % 1000 == 0:
                time.sleep(0)

    interval = sys.getswitchinterval()
    sys.setswitchinterval(5.0)
    thread = threading.Thread(target=spin)
    thread.start()
    try:
        assert started.wait(30), "the spinning thread never started"
        before = spins[0]
        for _ in range(10):
            CALLS[name](robot, cloud)
            if spins[0] > before:
                break
        during = spins[0] - before
    finally:
        stop.set()
        thread.join()
        sys.setswitchinterval(interval)
    assert during > 0, name


def test_inserting_threads_progress_while_large_batches_run_and_nothing_deadlocks():
    buffer = TransformBuffer(10.0)
    buffer.insert_transform("odom", "lidar", pose(0, 0, 0), 1, True)
    inserted, stop = [0], threading.Event()

    def insert():
        while not stop.is_set():
            inserted[0] += 1
            buffer.insert_transform("odom", "base", pose(1, 0, 0), 10 * S + inserted[0])

    threads = [threading.Thread(target=insert) for _ in range(2)]
    for thread in threads:
        thread.start()
    try:
        cloud, marks = big_cloud(), []
        for _ in range(3):
            marks.append(inserted[0])
            quilm_tf.lookup_many(buffer, "lidar", "odom", np.full(300_000, 10 * S))
            quilm_tf.transform_cloud(buffer, cloud, "odom")
        marks.append(inserted[0])
    finally:
        stop.set()
        for thread in threads:
            thread.join()
    assert marks == sorted(set(marks)), f"inserts stalled: {marks}"
