"""The buffer and the filter fed with the generated message classes of rosbags' type stores.

Expected poses come from numpy matrices built by Rodrigues' formula from each link's axis,
angle and translation. Dynamic links turn about a fixed axis at a constant rate and move at
a constant velocity, so interpolating between two samples must reproduce the motion exactly
at any stamp, whatever the library does internally.
"""

import math

import numpy as np
import pytest
from rosbags.typesys import Stores, get_types_from_msg, get_typestore

from quilm_tf._native import FilterFailureReason, MessageFilter, TransformBuffer, TransformError

NS = 1_000_000_000
T0 = 1_700_000_000 * NS


def rotation(axis, angle):
    k = np.asarray(axis, dtype=float)
    k = k / np.linalg.norm(k)
    skew = np.array([[0.0, -k[2], k[1]], [k[2], 0.0, -k[0]], [-k[1], k[0], 0.0]])
    return np.eye(3) + math.sin(angle) * skew + (1 - math.cos(angle)) * (skew @ skew)


def pose_matrix(translation, axis, angle):
    m = np.eye(4)
    m[:3, :3] = rotation(axis, angle)
    m[:3, 3] = translation
    return m


class Messages:
    """Builds messages of one rosbags type store."""

    def __init__(self, store):
        self.types = store.types
        self.ros1 = any(name == "seq" for name, _ in store.fielddefs["std_msgs/msg/Header"][1])

    def header(self, frame_id, stamp_ns=None, sec=None, nanosec=None):
        if stamp_ns is not None:
            sec, nanosec = divmod(stamp_ns, NS)
        stamp = self.types["builtin_interfaces/msg/Time"](sec=sec, nanosec=nanosec)
        extra = {"seq": 0} if self.ros1 else {}
        return self.types["std_msgs/msg/Header"](stamp=stamp, frame_id=frame_id, **extra)

    def transform(self, parent, child, stamp_ns, translation, axis, angle, header=None):
        t = self.types
        k = np.asarray(axis, dtype=float) / np.linalg.norm(axis)
        s = math.sin(angle / 2)
        return t["geometry_msgs/msg/TransformStamped"](
            header=header or self.header(parent, stamp_ns),
            child_frame_id=child,
            transform=t["geometry_msgs/msg/Transform"](
                translation=t["geometry_msgs/msg/Vector3"](
                    x=translation[0], y=translation[1], z=translation[2]
                ),
                rotation=t["geometry_msgs/msg/Quaternion"](
                    x=s * k[0], y=s * k[1], z=s * k[2], w=math.cos(angle / 2)
                ),
            ),
        )

    def tf(self, *transforms):
        return self.types["tf2_msgs/msg/TFMessage"](transforms=list(transforms))

    def scan(self, frame_id, stamp_ns, ranges):
        ranges = np.asarray(ranges, dtype=np.float32)
        return self.types["sensor_msgs/msg/LaserScan"](
            header=self.header(frame_id, stamp_ns),
            angle_min=-math.pi / 2,
            angle_max=math.pi / 2,
            angle_increment=math.pi / (len(ranges) - 1),
            time_increment=0.0,
            scan_time=0.05,
            range_min=0.1,
            range_max=30.0,
            ranges=ranges,
            intensities=np.zeros(0, dtype=np.float32),
        )


@pytest.fixture(
    params=[Stores.ROS2_HUMBLE, Stores.ROS2_JAZZY, Stores.ROS1_NOETIC],
    ids=lambda store: store.name.lower(),
)
def ros(request):
    store = get_typestore(request.param)
    if "tf2_msgs/msg/TFMessage" not in store.types:
        # The ROS 1 store ships without tf2_msgs; its one-line definition is enough.
        store.register(
            get_types_from_msg(
                "geometry_msgs/TransformStamped[] transforms", "tf2_msgs/msg/TFMessage"
            )
        )
    return Messages(store)


POSES = {
    "identity": ((0.0, 0.0, 0.0), (0.0, 0.0, 1.0), 0.0),
    "1e-9 rad": ((0.5, -0.25, 2.0), (1.0, 0.0, 0.0), 1e-9),
    "pi about an oblique axis": ((1.0, 2.0, 3.0), (1.0, -2.0, 0.5), math.pi),
    "negative w": ((-4.0, 0.0, 0.125), (0.0, 1.0, 1.0), 1.5 * math.pi),
    "far away": ((1e5, -3e4, 12.0), (0.3, 0.4, 0.5), 0.7),
}


@pytest.mark.parametrize("pose", POSES.values(), ids=POSES.keys())
def test_transform_stamped_maps_child_coordinates_into_the_parent(ros, pose):
    buffer = TransformBuffer(10.0)
    buffer.insert_transform_stamped(ros.transform("map", "odom", T0, *pose))
    expected = pose_matrix(*pose)
    np.testing.assert_allclose(buffer.lookup("odom", "map", T0), expected, rtol=0, atol=1e-9)
    np.testing.assert_allclose(
        buffer.lookup("map", "odom", T0), np.linalg.inv(expected), rtol=0, atol=1e-9
    )


# map -> odom at 10 Hz, odom -> base_link at 50 Hz, base_link -> laser static. Each dynamic
# link: (translation at T0, velocity per second, axis, angle at T0, angular rate per second).
MOTION = {
    ("map", "odom"): ((0.5, -1.0, 0.0), (0.02, -0.01, 0.0), (0.0, 0.0, 1.0), 0.1, 0.05),
    ("odom", "base_link"): ((2.0, 1.0, 0.0), (0.5, 0.2, 0.0), (0.1, 0.2, 1.0), -0.4, 0.9),
}
LASER = ((0.25, 0.0, 0.2), (1.0, 1.0, 0.0), 0.3)


def moving_pose(link, stamp_ns):
    start, velocity, axis, angle, rate = MOTION[link]
    dt = (stamp_ns - T0) / NS
    return tuple(p + v * dt for p, v in zip(start, velocity)), axis, angle + rate * dt


def laser_in_map(stamp_ns):
    return (
        pose_matrix(*moving_pose(("map", "odom"), stamp_ns))
        @ pose_matrix(*moving_pose(("odom", "base_link"), stamp_ns))
        @ pose_matrix(*LASER)
    )


def fill(ros, buffer, seconds=2, names=lambda frame: frame):
    """The robot's transforms as its nodes would publish them: one TFMessage per 20 ms."""
    buffer.insert_transform_message(
        ros.tf(ros.transform(names("base_link"), names("laser"), T0, *LASER)), is_static=True
    )
    for k in range(seconds * 50 + 1):
        stamp = T0 + k * NS // 50
        links = [("odom", "base_link")] + ([("map", "odom")] if k % 5 == 0 else [])
        buffer.insert_transform_message(
            ros.tf(
                *(
                    ros.transform(names(p), names(c), stamp, *moving_pose((p, c), stamp))
                    for p, c in links
                )
            )
        )


@pytest.mark.parametrize(
    "offset_ns",
    [0, 1, 7_000_000, 123_456_789, NS + NS // 3, 2 * NS - 1, 2 * NS],
    ids=["first sample", "1 ns in", "between 50 Hz samples", "off grid", "off grid later",
         "1 ns before the end", "last sample"],
)
@pytest.mark.parametrize("slash", ["", "/"], ids=["bare names", "leading slashes"])
def test_tf_messages_compose_and_interpolate_a_moving_chain(ros, offset_ns, slash):
    buffer = TransformBuffer(10.0)
    fill(ros, buffer, names=lambda frame: slash + frame)
    stamp = T0 + offset_ns
    expected = laser_in_map(stamp)
    np.testing.assert_allclose(buffer.lookup("laser", "map", stamp), expected, rtol=0, atol=1e-9)
    np.testing.assert_allclose(
        buffer.lookup("/map", "/laser", stamp), np.linalg.inv(expected), rtol=0, atol=1e-9
    )


def test_outside_the_recorded_span_the_lookup_says_which_link_is_missing(ros):
    buffer = TransformBuffer(10.0)
    fill(ros, buffer)
    late = T0 + 2 * NS + NS // 10
    assert not buffer.can_transform("laser", "map", late)
    with pytest.raises(TransformError) as info:
        buffer.lookup("laser", "map", late)
    assert str(info.value).startswith('failed to look up transform from "laser" to "map": ')
    assert "requested timestamp 1700000002.1 is outside the covered range" in str(info.value)


@pytest.mark.parametrize(
    ("broken", "error", "text"),
    [
        ({"sec": 0, "nanosec": 0}, TransformError,
         'dynamic transform "map" -> "odom" has the reserved zero timestamp'),
        ({"sec": 5, "nanosec": NS}, ValueError,
         "timestamp nanoseconds must be less than one second"),
        ({"sec": -1, "nanosec": 0}, ValueError, "timestamp seconds must be non-negative"),
    ],
    ids=["zero stamp", "nanosec of a second", "negative sec"],
)
def test_a_bad_transform_in_a_tf_message_keeps_those_before_it_only_if_it_was_decoded(
    ros, broken, error, text
):
    # A decoding error refuses the whole message; a refused insertion keeps the ones before.
    buffer = TransformBuffer(10.0)
    good = ros.transform("map", "base", T0, (1.0, 0.0, 0.0), (0.0, 0.0, 1.0), 0.0)
    bad = ros.transform("map", "odom", None, (0.0, 0.0, 0.0), (0.0, 0.0, 1.0), 0.0,
                        header=ros.header("map", **broken))
    with pytest.raises(error) as info:
        buffer.insert_transform_message(ros.tf(good, bad))
    assert info.value.args == (text,)
    assert buffer.can_transform("base", "map", T0) == (error is TransformError)


def scan_points(scan):
    """Homogeneous points of a scan's beams in its own frame, one column each."""
    angles = scan.angle_min + scan.angle_increment * np.arange(len(scan.ranges))
    ranges = scan.ranges.astype(float)
    return np.vstack([ranges * np.cos(angles), ranges * np.sin(angles),
                      np.zeros_like(ranges), np.ones_like(ranges)])


def test_queued_laser_scans_are_delivered_once_their_transforms_arrive(ros):
    buffer = TransformBuffer(10.0)
    delivered = []

    def project(scan):
        # What a mapping node does with each scan: its beams in the map frame.
        stamp = scan.header.stamp.sec * NS + scan.header.stamp.nanosec
        delivered.append((scan, np.asarray(buffer.lookup(scan.header.frame_id, "map", stamp))
                          @ scan_points(scan)))

    filter = MessageFilter(buffer, "map", 0, project)
    stamps = [T0 + 3_000_000 + j * NS // 20 for j in range(30)]
    scans = [ros.scan("laser", s, 2.0 + np.sin(np.arange(9) + j)) for j, s in enumerate(stamps)]
    for scan in scans:
        filter.add(scan)
    assert (delivered, filter.pending_count) == ([], 30)

    fill(ros, buffer, seconds=1)
    # Stamps up to 1 s are covered; the rest wait for more transforms.
    covered = [s for s in stamps if s <= T0 + NS]
    assert [scan for scan, _ in delivered] == scans[: len(covered)]
    assert filter.pending_count == 30 - len(covered)
    for (scan, points), stamp in zip(delivered, covered):
        np.testing.assert_allclose(points, laser_in_map(stamp) @ scan_points(scan),
                                   rtol=0, atol=1e-9)


def test_scans_that_cannot_wait_reach_the_failure_callbacks_with_their_reason(ros):
    buffer = TransformBuffer(10.0)
    failed, ready = [], []
    filter = MessageFilter(buffer, "/map", 2, ready.append)
    filter.register_failure_callback(lambda scan, reason: failed.append((scan, reason)))
    ranges = [1.0, 2.0]
    no_frame = ros.scan("", T0, ranges)
    namespaced = ros.scan("robot2/laser", T0, ranges)
    oldest, middle, newest = (ros.scan("laser", T0 + k * NS // 10, ranges) for k in range(3))
    for scan in (no_frame, namespaced, oldest, middle, newest):
        filter.add(scan)
    assert [(scan, str(reason)) for scan, reason in failed] == [
        (no_frame, "empty frame id"),
        (namespaced, "invalid frame id"),
        (oldest, "queue full"),
    ]
    assert [reason for _, reason in failed] == [
        FilterFailureReason.EMPTY_FRAME_ID,
        FilterFailureReason.INVALID_FRAME_ID,
        FilterFailureReason.QUEUE_FULL,
    ]
    fill(ros, buffer, seconds=1)
    assert ready == [middle, newest]
