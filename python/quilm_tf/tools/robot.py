"""The simulated robot of the demo: a base driving a circle while a three-joint arm waves.

Its transforms and laser scans are plain objects shaped like ROS 2 messages, in arrival order.
"""

from __future__ import annotations

import math
from collections.abc import Callable

from quilm_tf.stamps import NS_PER_SECOND
from quilm_tf.tools.messages import (
    Header,
    LaserScan,
    TFMessage,
    ros_time,
    transform_stamped,
)

SIM_START_NS = 1_700_000_000 * NS_PER_SECOND
SIM_SECONDS = 3
SIM_TICK_NS = NS_PER_SECOND // 100
SCAN_PERIOD_NS = NS_PER_SECOND // 20
SIM_QUEUE_SIZE = 5
DRIVE_RADIUS_M = 2.0
DRIVE_RATE = 0.25  # rad/s around the circle, 0.5 m/s

Vec = tuple[float, float, float]
Quat = tuple[float, float, float, float]
Pose = tuple[Vec, Quat]
# (arrival_ns, topic, message)
Event = tuple[int, str, TFMessage | LaserScan]


def about_z(angle: float) -> Quat:
    return (0.0, 0.0, math.sin(angle / 2), math.cos(angle / 2))


def about_y(angle: float) -> Quat:
    return (0.0, math.sin(angle / 2), 0.0, math.cos(angle / 2))


IDENTITY_QUAT: Quat = (0.0, 0.0, 0.0, 1.0)


def _map_odom(t: float) -> Pose:
    # Localisation slowly corrects the odometry's drift.
    return (0.02 * t, -0.01 * t, 0.0), about_z(math.radians(0.5) * t)


def _odom_base_link(t: float) -> Pose:
    a = DRIVE_RATE * t
    return (DRIVE_RADIUS_M * math.sin(a), DRIVE_RADIUS_M * (1 - math.cos(a)), 0.0), about_z(a)


def _torso_shoulder(t: float) -> Pose:
    return (0.0, 0.0, 0.3), about_z(0.8 * math.sin(1.5 * t))


def _shoulder_elbow(t: float) -> Pose:
    return (0.35, 0.0, 0.0), about_y(-0.6 + 0.4 * math.sin(2 * t))


def _elbow_wrist(t: float) -> Pose:
    return (0.3, 0.0, 0.0), about_y(0.9 + 0.3 * math.cos(2 * t))


def _fixed(translation: Vec, rotation: Quat = IDENTITY_QUAT) -> Callable[[float], Pose]:
    return lambda t: (translation, rotation)


# (parent, child, rate in Hz or 0 for static, pose at t seconds after the start as
# ((x, y, z), (qx, qy, qz, qw))). Rates divide 100 Hz.
ROBOT_LINKS = (
    ("map", "odom", 10, _map_odom),
    ("odom", "base_link", 100, _odom_base_link),
    ("base_link", "torso", 0, _fixed((0.1, 0.0, 0.4))),
    ("torso", "shoulder", 100, _torso_shoulder),
    ("shoulder", "elbow", 100, _shoulder_elbow),
    ("elbow", "wrist", 100, _elbow_wrist),
    ("wrist", "gripper", 0, _fixed((0.12, 0.0, 0.0))),
    ("base_link", "laser", 0, _fixed((0.25, 0.0, 0.2))),
    ("base_link", "camera", 0, _fixed((0.2, 0.0, 0.6), about_y(math.radians(15)))),
)


def laser_scan(frame_id: str, stamp_ns: int) -> LaserScan:
    beams = 360
    return LaserScan(
        Header(ros_time(stamp_ns), frame_id),
        angle_min=-math.pi,
        angle_max=math.pi,
        angle_increment=2 * math.pi / beams,
        time_increment=0.0,
        scan_time=SCAN_PERIOD_NS / NS_PER_SECOND,
        range_min=0.1,
        range_max=30.0,
        ranges=[4.0 + math.sin(i / 9) for i in range(beams)],
        intensities=[],
    )


def simulated_robot() -> tuple[list[Event], list[str]]:
    """(arrival_ns, topic, message) in arrival order, and the notes that explain them."""
    ms = NS_PER_SECOND // 1000
    events: list[Event] = []
    static = [
        transform_stamped(parent, child, SIM_START_NS, pose(0.0))
        for parent, child, rate, pose in ROBOT_LINKS
        if rate == 0
    ]
    events.append((SIM_START_NS, "/tf_static", TFMessage(static)))
    for k in range(SIM_SECONDS * 100 + 1):
        stamp = SIM_START_NS + k * SIM_TICK_NS
        t = k * SIM_TICK_NS / NS_PER_SECOND
        joints = [
            transform_stamped(parent, child, stamp, pose(t))
            for parent, child, rate, pose in ROBOT_LINKS
            if rate == 100
        ]
        events.append((stamp + 1 * ms, "/tf", TFMessage(joints)))
        # Localisation runs at 10 Hz and publishes a few milliseconds later.
        for parent, child, rate, pose in ROBOT_LINKS:
            if rate == 10 and k % 10 == 0:
                message = TFMessage([transform_stamped(parent, child, stamp, pose(t))])
                events.append((stamp + 4 * ms, "/tf", message))
    # Scans are stamped between transform samples and arrive 2 ms after their stamp.
    scans = SIM_SECONDS * 20
    for j in range(scans):
        stamp = SIM_START_NS + 3 * ms + j * SCAN_PERIOD_NS
        frame, stamped = "laser", stamp
        if j == 12:
            stamped = stamp - NS_PER_SECOND
        elif j == 20:
            frame = ""
        elif j == 30:
            frame = "robot2/laser"
        events.append((stamp + 2 * ms, "/scan", laser_scan(frame, stamped)))
    last = SIM_START_NS + SIM_SECONDS * NS_PER_SECOND
    events.append((last - 40 * ms, "/scan", laser_scan("laser", last + NS_PER_SECOND // 2)))
    events.sort(key=lambda event: event[0])
    notes = [
        "Scans wait for the first transforms stamped after them (map -> odom comes at 10 Hz).",
        "Four are faulty on purpose: one stamped 1 s before it arrives (before the first",
        "transform: it holds the scans behind it until the queue bound pushes it out), one with",
        "an empty frame_id, one from the namespaced frame robot2/laser, one stamped 0.5 s after",
        "the last transform.",
    ]
    return events, notes
