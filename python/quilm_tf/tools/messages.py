"""Objects shaped like ROS 2 messages.

The library reads messages by attribute, so any class with these fields works, generated
message classes included; these need nothing beyond the standard library.
"""

from __future__ import annotations

from dataclasses import dataclass

from quilm_tf.stamps import NS_PER_SECOND


@dataclass(slots=True)
class Time:
    sec: int
    nanosec: int


@dataclass(slots=True)
class Header:
    stamp: Time
    frame_id: str


@dataclass(slots=True)
class Vector3:
    x: float
    y: float
    z: float


@dataclass(slots=True)
class Quaternion:
    x: float
    y: float
    z: float
    w: float


@dataclass(slots=True)
class Transform:
    translation: Vector3
    rotation: Quaternion


@dataclass(slots=True)
class TransformStamped:
    header: Header
    child_frame_id: str
    transform: Transform


@dataclass(slots=True)
class TFMessage:
    transforms: list[TransformStamped]


@dataclass(slots=True)
class LaserScan:
    header: Header
    angle_min: float
    angle_max: float
    angle_increment: float
    time_increment: float
    scan_time: float
    range_min: float
    range_max: float
    ranges: list[float]
    intensities: list[float]


def ros_time(stamp_ns: int) -> Time:
    return Time(stamp_ns // NS_PER_SECOND, stamp_ns % NS_PER_SECOND)


def stamp_ns_of(header: Header) -> int:
    return header.stamp.sec * NS_PER_SECOND + header.stamp.nanosec


def transform_stamped(
    parent: str,
    child: str,
    stamp_ns: int,
    pose: tuple[tuple[float, float, float], tuple[float, float, float, float]],
) -> TransformStamped:
    """pose is ((x, y, z), (qx, qy, qz, qw))."""
    (x, y, z), (qx, qy, qz, qw) = pose
    return TransformStamped(
        Header(ros_time(stamp_ns), parent),
        child,
        Transform(Vector3(x, y, z), Quaternion(qx, qy, qz, qw)),
    )
