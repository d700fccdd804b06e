"""A recorded bag, written and read back with rosbags, replayed through a buffer and a filter.

The bag holds what a robot records: /tf_static once, /tf from two publishers at 10 Hz and
50 Hz, and LaserScans at 20 Hz stamped between transform samples. Each dynamic link turns
about a fixed axis at a constant rate and moves at a constant velocity, so the expected
pose at any stamp is the motion itself, computed here with numpy.
"""

import math

import numpy as np
import pytest
from rosbags.highlevel import AnyReader
from rosbags.rosbag1 import Writer as Writer1
from rosbags.rosbag2 import StoragePlugin, Writer
from rosbags.typesys import Stores, get_types_from_msg, get_typestore

from quilm_tf._native import MessageFilter, TransformBuffer, TransformError

NS = 1_000_000_000
MS = NS // 1000
T0 = 1_700_000_000 * NS
SECONDS = 3
TF = "tf2_msgs/msg/TFMessage"
SCAN = "sensor_msgs/msg/LaserScan"

# child: (parent, rate in Hz, publishing delay, translation at T0, velocity, axis, angle at
# T0, angular rate). Static links have rate 0 and no motion.
LINKS = {
    "odom": ("map", 10, 5 * MS, (1.0, -2.0, 0.0), (0.05, 0.02, 0.0), (0.0, 0.0, 1.0), 0.2, 0.1),
    "base_link": ("odom", 50, 1 * MS, (0.0, 0.0, 0.1), (0.6, 0.0, 0.0), (0.0, 0.1, 1.0), 0.0, 0.8),
    "laser": ("base_link", 0, 0, (0.3, 0.0, 0.25), (0.0, 0.0, 0.0), (0.0, 1.0, 0.0), 0.1, 0.0),
}


def pose(child, stamp_ns):
    _, _, _, start, velocity, axis, angle, rate = LINKS[child]
    dt = (stamp_ns - T0) / NS
    k = np.asarray(axis) / np.linalg.norm(axis)
    return tuple(p + v * dt for p, v in zip(start, velocity)), k, angle + rate * dt


def matrix(child, stamp_ns):
    translation, k, angle = pose(child, stamp_ns)
    skew = np.array([[0.0, -k[2], k[1]], [k[2], 0.0, -k[0]], [-k[1], k[0], 0.0]])
    m = np.eye(4)
    m[:3, :3] = np.eye(3) + math.sin(angle) * skew + (1 - math.cos(angle)) * (skew @ skew)
    m[:3, 3] = translation
    return m


def laser_in_map(stamp_ns):
    return matrix("odom", stamp_ns) @ matrix("base_link", stamp_ns) @ matrix("laser", stamp_ns)


def sample_stamps(child):
    rate = LINKS[child][1]
    return [T0 + k * NS // rate for k in range(SECONDS * rate + 1)]


SCAN_STAMPS = [T0 + 7 * MS + j * NS // 20 for j in range(SECONDS * 20)]
EMPTY_FRAME_SCAN = 25
# Stamped past the last transform: still waiting when the bag ends.
FUTURE_STAMP = T0 + SECONDS * NS + NS // 2


class Store:
    def __init__(self, kind):
        self.kind = kind
        self.store = get_typestore(Stores.ROS1_NOETIC if kind == "ros1" else Stores.ROS2_HUMBLE)
        if TF not in self.store.types:
            self.store.register(
                get_types_from_msg("geometry_msgs/TransformStamped[] transforms", TF)
            )
        self.types = self.store.types

    def header(self, frame_id, stamp_ns):
        sec, nanosec = divmod(stamp_ns, NS)
        extra = {"seq": 0} if self.kind == "ros1" else {}
        stamp = self.types["builtin_interfaces/msg/Time"](sec=sec, nanosec=nanosec)
        return self.types["std_msgs/msg/Header"](stamp=stamp, frame_id=frame_id, **extra)

    def tf(self, child, stamp_ns):
        t = self.types
        translation, k, angle = pose(child, stamp_ns)
        s = math.sin(angle / 2)
        item = t["geometry_msgs/msg/TransformStamped"](
            header=self.header(LINKS[child][0], stamp_ns),
            child_frame_id=child,
            transform=t["geometry_msgs/msg/Transform"](
                translation=t["geometry_msgs/msg/Vector3"](*translation),
                rotation=t["geometry_msgs/msg/Quaternion"](
                    x=s * k[0], y=s * k[1], z=s * k[2], w=math.cos(angle / 2)
                ),
            ),
        )
        return t[TF](transforms=[item])

    def scan(self, frame_id, stamp_ns):
        return self.types[SCAN](
            header=self.header(frame_id, stamp_ns),
            angle_min=-1.0, angle_max=1.0, angle_increment=0.5, time_increment=0.0,
            scan_time=0.05, range_min=0.1, range_max=30.0,
            ranges=np.full(5, 3.0, dtype=np.float32), intensities=np.zeros(0, dtype=np.float32),
        )

    def serialize(self, message, msgtype):
        if self.kind == "ros1":
            return self.store.serialize_ros1(message, msgtype)
        return self.store.serialize_cdr(message, msgtype)


def recording(store):
    """(record time, topic, message type, message), in record order."""
    events = [(T0 - NS, "/tf_static", TF, store.tf("laser", T0))]
    for child in ("odom", "base_link"):
        delay = LINKS[child][2]
        events += [(s + delay, "/tf", TF, store.tf(child, s)) for s in sample_stamps(child)]
    for j, stamp in enumerate(SCAN_STAMPS):
        frame = "" if j == EMPTY_FRAME_SCAN else "laser"
        events.append((stamp + 1 * MS, "/scan", SCAN, store.scan(frame, stamp)))
    events.append((T0 + SECONDS * NS - 10 * MS, "/scan", SCAN, store.scan("laser", FUTURE_STAMP)))
    return sorted(events, key=lambda event: event[0])


def write_bag(kind, folder):
    store = Store(kind)
    if kind == "ros1":
        path, writer = folder / "robot.bag", Writer1(folder / "robot.bag")
    else:
        plugin = StoragePlugin.MCAP if kind == "mcap" else StoragePlugin.SQLITE3
        path = folder / "robot"
        writer = Writer(path, version=9, storage_plugin=plugin)
    with writer:
        connections = {}
        for timestamp, topic, msgtype, message in recording(store):
            if topic not in connections:
                connections[topic] = writer.add_connection(topic, msgtype, typestore=store.store)
            writer.write(connections[topic], timestamp, store.serialize(message, msgtype))
    return path


@pytest.fixture(scope="module", params=["sqlite3", "mcap", "ros1"])
def bag(request, tmp_path_factory):
    return write_bag(request.param, tmp_path_factory.mktemp(request.param))


def stamp_of(message):
    return message.header.stamp.sec * NS + message.header.stamp.nanosec


def replay(path, history_seconds):
    """Feeds the bag in record order; returns the buffer and what the filter did, with the
    record time of the bag message being processed at each delivery."""
    buffer = TransformBuffer(history_seconds)
    now = [0]
    delivered, failed = [], []

    def on_scan(scan):
        stamp = stamp_of(scan)
        delivered.append((stamp, now[0], buffer.lookup(scan.header.frame_id, "map", stamp)))

    filter = MessageFilter(buffer, "map", 100, on_scan)
    filter.register_failure_callback(lambda scan, reason: failed.append((stamp_of(scan), reason)))
    with AnyReader([path], default_typestore=get_typestore(Stores.ROS2_HUMBLE)) as reader:
        assert {c.topic for c in reader.connections} == {"/tf", "/tf_static", "/scan"}
        for connection, timestamp, raw in reader.messages():
            now[0] = timestamp
            message = reader.deserialize(raw, connection.msgtype)
            if connection.topic == "/tf_static":
                buffer.insert_transform_message(message, is_static=True)
            elif connection.topic == "/tf":
                buffer.insert_transform_message(message)
            else:
                filter.add(message)
    return buffer, filter, delivered, failed


@pytest.fixture(scope="module")
def replayed(bag):
    return replay(bag, 1.0)


def test_every_scan_is_delivered_as_soon_as_its_transforms_are_recorded(replayed):
    _, filter, delivered, failed = replayed
    expected = [s for j, s in enumerate(SCAN_STAMPS) if j != EMPTY_FRAME_SCAN]
    assert [stamp for stamp, _, _ in delivered] == expected
    for stamp, delivered_at, _ in delivered:
        # Ready once each dynamic link has a sample at or after the stamp on record.
        ready_at = max(
            min(s for s in sample_stamps(child) if s >= stamp) + LINKS[child][2]
            for child in ("odom", "base_link")
        )
        assert delivered_at == max(ready_at, stamp + 1 * MS)
    assert [(stamp, str(reason)) for stamp, reason in failed] == [
        (SCAN_STAMPS[EMPTY_FRAME_SCAN], "empty frame id")
    ]
    assert filter.pending_count == 1


def test_the_callbacks_lookups_match_the_recorded_motion(replayed):
    _, _, delivered, _ = replayed
    for stamp, _, laser_to_map in delivered:
        np.testing.assert_allclose(laser_to_map, laser_in_map(stamp), rtol=0, atol=1e-9)


def test_after_the_replay_only_the_history_window_answers(replayed):
    buffer, _, _, _ = replayed
    end = T0 + SECONDS * NS
    for stamp in (end - NS, end - 123_456_789, end):
        np.testing.assert_allclose(
            buffer.lookup("laser", "map", stamp), laser_in_map(stamp), rtol=0, atol=1e-9
        )
    with pytest.raises(TransformError) as info:
        buffer.lookup("laser", "map", end - NS - 10 * MS)
    assert str(info.value) == (
        'failed to look up transform from "laser" to "map": transform not found from map to '
        "laser (frame base_link: transform error: requested timestamp 1700000001.99 "
        "is outside the covered range [1700000002, 1700000003])"
    )
