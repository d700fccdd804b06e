"""The buffer and the filter fed with the message classes of rosbags' type stores, directly and
through a bag written and read back with rosbags.

Each dynamic link turns about a fixed axis at a constant rate and moves at a constant velocity,
so interpolating between two samples must reproduce the motion exactly at any stamp. Expected
poses are that motion, composed with numpy from Rodrigues' formula.
"""

import math

import numpy as np
import pytest
from rosbags.highlevel import AnyReader
from rosbags.rosbag1 import Writer as Writer1
from rosbags.rosbag2 import StoragePlugin, Writer
from rosbags.typesys import Stores, get_types_from_msg, get_typestore

from quilm_tf import MessageFilter, TransformBuffer, TransformError

NS = 1_000_000_000
MS = NS // 1000
T0 = 1_700_000_000 * NS
TF = "tf2_msgs/msg/TFMessage"
SCAN = "sensor_msgs/msg/LaserScan"

# child: (parent, rate in Hz or 0 for static, publishing delay, translation at T0, velocity per
# second, axis, angle at T0, angular rate per second).
LINKS = {
    "odom": ("map", 10, 5 * MS, (1.0, -2.0, 0.0), (0.05, 0.02, 0.0), (0.0, 0.0, 1.0), 0.2, 0.1),
    "base_link": ("odom", 50, MS, (2.0, 1.0, 0.1), (0.6, 0.2, 0.0), (0.1, 0.2, 1.0), -0.4, 0.9),
    "laser": ("base_link", 0, 0, (0.3, 0.0, 0.25), (0.0, 0.0, 0.0), (1.0, 1.0, 0.0), 0.3, 0.0),
}


def pose(child, stamp_ns):
    """(translation, axis, angle) of a link at a stamp."""
    _, _, _, start, velocity, axis, angle, rate = LINKS[child]
    dt = (stamp_ns - T0) / NS
    return tuple(p + v * dt for p, v in zip(start, velocity)), axis, angle + rate * dt


def matrix(translation, axis, angle):
    k = np.asarray(axis, dtype=float) / np.linalg.norm(axis)
    skew = np.array([[0.0, -k[2], k[1]], [k[2], 0.0, -k[0]], [-k[1], k[0], 0.0]])
    m = np.eye(4)
    m[:3, :3] = np.eye(3) + math.sin(angle) * skew + (1 - math.cos(angle)) * (skew @ skew)
    m[:3, 3] = translation
    return m


def laser_in_map(stamp_ns):
    return np.linalg.multi_dot([matrix(*pose(c, stamp_ns)) for c in ("odom", "base_link", "laser")])


def sample_stamps(child, seconds):
    rate = LINKS[child][1]
    return [T0 + k * NS // rate for k in range(seconds * rate + 1)]


def stamp_of(message):
    return message.header.stamp.sec * NS + message.header.stamp.nanosec


class Messages:
    """Builds messages with the generated classes of a ROS 2 or a ROS 1 type store."""

    def __init__(self, ros1=False):
        self.ros1 = ros1
        self.store = get_typestore(Stores.ROS1_NOETIC if ros1 else Stores.ROS2_HUMBLE)
        if TF not in self.store.types:
            # The ROS 1 store ships without tf2_msgs; its one-line definition is enough.
            definition = get_types_from_msg("geometry_msgs/TransformStamped[] transforms", TF)
            self.store.register(definition)
        self.types = self.store.types

    def header(self, frame_id, stamp_ns):
        stamp = self.types["builtin_interfaces/msg/Time"](*divmod(stamp_ns, NS))
        extra = {"seq": 0} if self.ros1 else {}
        return self.types["std_msgs/msg/Header"](stamp=stamp, frame_id=frame_id, **extra)

    def transform(self, parent, child, stamp_ns, translation, axis, angle):
        t = self.types
        k = np.asarray(axis, dtype=float) / np.linalg.norm(axis) * math.sin(angle / 2)
        return t["geometry_msgs/msg/TransformStamped"](
            header=self.header(parent, stamp_ns),
            child_frame_id=child,
            transform=t["geometry_msgs/msg/Transform"](
                translation=t["geometry_msgs/msg/Vector3"](*translation),
                rotation=t["geometry_msgs/msg/Quaternion"](*k, math.cos(angle / 2)),
            ),
        )

    def link(self, child, stamp_ns, name=str):
        return self.transform(name(LINKS[child][0]), name(child), stamp_ns, *pose(child, stamp_ns))

    def tf(self, *transforms):
        return self.types[TF](transforms=list(transforms))

    def scan(self, frame_id, stamp_ns, ranges):
        ranges = np.asarray(ranges, dtype=np.float32)
        return self.types[SCAN](
            header=self.header(frame_id, stamp_ns),
            angle_min=-math.pi / 2, angle_max=math.pi / 2,
            angle_increment=math.pi / (len(ranges) - 1), time_increment=0.0, scan_time=0.05,
            range_min=0.1, range_max=30.0, ranges=ranges,
            intensities=np.zeros(0, dtype=np.float32),
        )


ROS2 = Messages()


POSES = {
    "pi about an oblique axis": ((1.0, 2.0, 3.0), (1.0, -2.0, 0.5), math.pi),
    "negative w": ((-4.0, 0.0, 0.125), (0.0, 1.0, 1.0), 1.5 * math.pi),
    "far away": ((1e5, -3e4, 12.0), (0.3, 0.4, 0.5), 0.7),
}


@pytest.mark.parametrize("link", POSES.values(), ids=POSES.keys())
def test_transform_stamped_maps_child_coordinates_into_the_parent(link):
    buffer = TransformBuffer(10.0)
    buffer.insert_transform_stamped(ROS2.transform("map", "odom", T0, *link))
    expected = matrix(*link)
    np.testing.assert_allclose(buffer.lookup("odom", "map", T0), expected, rtol=0, atol=1e-9)
    np.testing.assert_allclose(
        buffer.lookup("map", "odom", T0), np.linalg.inv(expected), rtol=0, atol=1e-9
    )


def publish(buffer, seconds, name=str):
    """/tf_static once, then every 20 ms one TFMessage with the links due at that stamp."""
    buffer.insert_transform_message(ROS2.tf(ROS2.link("laser", T0, name)), is_static=True)
    for stamp in sample_stamps("base_link", seconds):
        due = [c for c in ("base_link", "odom") if (stamp - T0) % (NS // LINKS[c][1]) == 0]
        buffer.insert_transform_message(ROS2.tf(*(ROS2.link(c, stamp, name) for c in due)))


def test_tf_messages_compose_and_interpolate_a_moving_chain():
    buffer = TransformBuffer(10.0)
    # Some publishers send names with a leading slash.
    publish(buffer, 2, name=lambda frame: "/" + frame if frame in ("map", "laser") else frame)
    for offset_ns in (0, 1, 7 * MS, 123_456_789, NS + NS // 3, 2 * NS - 1, 2 * NS):
        stamp = T0 + offset_ns
        expected = laser_in_map(stamp)
        np.testing.assert_allclose(buffer.lookup("laser", "map", stamp), expected,
                                   rtol=0, atol=1e-9, err_msg=f"{offset_ns} ns")
        np.testing.assert_allclose(buffer.lookup("/map", "/laser", stamp), np.linalg.inv(expected),
                                   rtol=0, atol=1e-9, err_msg=f"{offset_ns} ns")


def scan_points(scan):
    """Homogeneous points of a scan's beams in its own frame, one column each."""
    angles = scan.angle_min + scan.angle_increment * np.arange(len(scan.ranges))
    ranges = scan.ranges.astype(float)
    return np.vstack([ranges * np.cos(angles), ranges * np.sin(angles),
                      np.zeros_like(ranges), np.ones_like(ranges)])


def test_queued_laser_scans_are_delivered_once_their_transforms_arrive():
    buffer = TransformBuffer(10.0)
    delivered = []

    def project(scan):
        # What a mapping node does with each scan: its beams in the map frame.
        map_T_laser = np.asarray(buffer.lookup(scan.header.frame_id, "map", stamp_of(scan)))
        delivered.append((scan, map_T_laser @ scan_points(scan)))

    filter = MessageFilter(buffer, "map", 0, project)
    stamps = [T0 + 3 * MS + j * NS // 20 for j in range(30)]
    scans = [ROS2.scan("laser", s, 2.0 + np.sin(np.arange(9) + j)) for j, s in enumerate(stamps)]
    for scan in scans:
        filter.add(scan)
    assert (delivered, filter.pending_count) == ([], 30)

    publish(buffer, 1)
    # Stamps up to 1 s are covered; the rest wait for more transforms.
    covered = [s for s in stamps if s <= T0 + NS]
    assert [scan for scan, _ in delivered] == scans[: len(covered)]
    assert filter.pending_count == 30 - len(covered)
    for (scan, points), stamp in zip(delivered, covered):
        np.testing.assert_allclose(points, laser_in_map(stamp) @ scan_points(scan),
                                   rtol=0, atol=1e-9)


# The bag: /tf_static once, /tf from two publishers each a little after its stamps, and 20 Hz
# LaserScans stamped between transform samples; one without a frame, one stamped past the last
# transform (still waiting when the bag ends).
SECONDS = 3
SCAN_STAMPS = [T0 + 7 * MS + j * NS // 20 for j in range(SECONDS * 20)]
EMPTY_FRAME_SCAN = 25
FUTURE_STAMP = T0 + SECONDS * NS + NS // 2


def write_bag(kind, folder):
    ros = Messages(ros1=kind == "ros1")
    events = [(T0 - NS, "/tf_static", TF, ros.tf(ros.link("laser", T0)))]
    for child in ("odom", "base_link"):
        events += [(s + LINKS[child][2], "/tf", TF, ros.tf(ros.link(child, s)))
                   for s in sample_stamps(child, SECONDS)]
    for j, stamp in enumerate(SCAN_STAMPS):
        frame = "" if j == EMPTY_FRAME_SCAN else "laser"
        events.append((stamp + MS, "/scan", SCAN, ros.scan(frame, stamp, [3.0] * 5)))
    future = ros.scan("laser", FUTURE_STAMP, [3.0] * 5)
    events.append((T0 + SECONDS * NS - 10 * MS, "/scan", SCAN, future))
    if kind == "ros1":
        path = folder / "robot.bag"
        writer = Writer1(path)
    else:
        path = folder / "robot"
        writer = Writer(path, version=9, storage_plugin=StoragePlugin.SQLITE3)
    serialize = ros.store.serialize_ros1 if kind == "ros1" else ros.store.serialize_cdr
    with writer:
        connections = {}
        for timestamp, topic, msgtype, message in sorted(events, key=lambda event: event[0]):
            if topic not in connections:
                connections[topic] = writer.add_connection(topic, msgtype, typestore=ros.store)
            writer.write(connections[topic], timestamp, serialize(message, msgtype))
    return path


@pytest.fixture(scope="module", params=["rosbag2", "ros1"])
def replayed(request, tmp_path_factory):
    """The bag fed in record order into a 1 s buffer and a filter: the buffer, the filter, per
    delivery (stamp, record time of the message being processed, the callback's lookup), and
    the failures."""
    path = write_bag(request.param, tmp_path_factory.mktemp(request.param))
    buffer = TransformBuffer(1.0)
    now, delivered, failed = [0], [], []

    def on_scan(scan):
        stamp = stamp_of(scan)
        delivered.append((stamp, now[0], buffer.lookup(scan.header.frame_id, "map", stamp)))

    filter = MessageFilter(buffer, "map", 100, on_scan)
    filter.register_failure_callback(lambda scan, why: failed.append((stamp_of(scan), str(why))))
    with AnyReader([path], default_typestore=get_typestore(Stores.ROS2_HUMBLE)) as reader:
        for connection, timestamp, raw in reader.messages():
            now[0] = timestamp
            message = reader.deserialize(raw, connection.msgtype)
            if connection.topic == "/scan":
                filter.add(message)
            else:
                buffer.insert_transform_message(message, connection.topic == "/tf_static")
    return buffer, filter, delivered, failed


def test_a_replayed_bag_delivers_each_scan_as_soon_as_its_transforms_are_recorded(replayed):
    _, filter, delivered, failed = replayed
    expected = [s for j, s in enumerate(SCAN_STAMPS) if j != EMPTY_FRAME_SCAN]
    assert [stamp for stamp, _, _ in delivered] == expected
    for stamp, delivered_at, laser_to_map in delivered:
        # Ready once each dynamic link has a sample at or after the stamp on record.
        ready_at = max(min(s for s in sample_stamps(c, SECONDS) if s >= stamp) + LINKS[c][2]
                       for c in ("odom", "base_link"))
        assert delivered_at == max(ready_at, stamp + MS)
        np.testing.assert_allclose(laser_to_map, laser_in_map(stamp), rtol=0, atol=1e-9)
    assert failed == [(SCAN_STAMPS[EMPTY_FRAME_SCAN], "empty frame id")]
    assert filter.pending_count == 1


def test_after_the_replay_only_the_history_window_answers(replayed):
    buffer, edge = replayed[0], T0 + (SECONDS - 1) * NS
    for stamp in (edge, edge + 123_456_789, edge + NS):
        np.testing.assert_allclose(buffer.lookup("laser", "map", stamp), laser_in_map(stamp),
                                   rtol=0, atol=1e-9)
    with pytest.raises(TransformError) as info:
        buffer.lookup("laser", "map", edge - 10 * MS)
    assert str(info.value) == (
        'failed to look up transform from "laser" to "map": transform not found from map to '
        "laser (frame base_link: transform error: requested timestamp 1700000001.99 "
        "is outside the covered range [1700000002, 1700000003])"
    )
