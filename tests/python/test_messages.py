# transform_message on rosbags' generated classes (the real ROS 2 classes are exercised by the
# live suite), checked against plain matrix arithmetic on the buffer's own lookup.

import copy
import math

import numpy as np
import pytest
from rosbags.typesys import Stores, get_typestore

from quilm_tf import TransformBuffer, transform_message

TYPES = get_typestore(Stores.ROS2_HUMBLE).types
STAMP = 5_000_000_000


def msg(name, **fields):
    return TYPES[name](**fields)


def header(frame="laser", stamp_ns=STAMP):
    time = msg("builtin_interfaces/msg/Time", sec=stamp_ns // 10**9, nanosec=stamp_ns % 10**9)
    return msg("std_msgs/msg/Header", stamp=time, frame_id=frame)


def xyz(name, x, y, z):
    return msg(f"geometry_msgs/msg/{name}", x=x, y=y, z=z)


def quat(x, y, z, w):
    return msg("geometry_msgs/msg/Quaternion", x=x, y=y, z=z, w=w)


def rotation_of(q):
    x, y, z, w = q.x, q.y, q.z, q.w
    return np.array(
        [
            [1 - 2 * (y * y + z * z), 2 * (x * y - z * w), 2 * (x * z + y * w)],
            [2 * (x * y + z * w), 1 - 2 * (x * x + z * z), 2 * (y * z - x * w)],
            [2 * (x * z - y * w), 2 * (y * z + x * w), 1 - 2 * (x * x + y * y)],
        ]
    )


def axis_angle(axis, angle, translation):
    axis = np.asarray(axis, float) / np.linalg.norm(axis)
    k = np.array([[0, -axis[2], axis[1]], [axis[2], 0, -axis[0]], [-axis[1], axis[0], 0]])
    m = np.eye(4)
    m[:3, :3] = np.eye(3) + math.sin(angle) * k + (1 - math.cos(angle)) * k @ k
    m[:3, 3] = translation
    return m


@pytest.fixture
def buffer():
    # laser -> base -> map, base moving: the message's own stamp must be the one used.
    b = TransformBuffer(100.0)
    b.insert_transform("base", "laser", axis_angle([1, 2, 3], 2.5, [0.2, -0.1, 0.4]), 0, True)
    b.insert_transform("map", "base", axis_angle([0, 0, 1], 0.3, [1, 2, 0]), STAMP - 10**9)
    b.insert_transform("map", "base", axis_angle([0, 1, 1], -1.1, [4, -3, 2]), STAMP)
    return b


ORIENTATION = quat(*np.array([0.1, -0.7, 0.3, 0.64]) / math.sqrt(0.9996))
# A symmetric positive definite 6x6 with every entry distinct.
_A = np.arange(36.0).reshape(6, 6) / 10 + np.eye(6)
COVARIANCE = (_A @ _A.T).ravel()


def pose(position=(1.0, -2.0, 0.5)):
    return msg("geometry_msgs/msg/Pose", position=xyz("Point", *position), orientation=ORIENTATION)


CASES = {
    "point": msg("geometry_msgs/msg/PointStamped", header=header(), point=xyz("Point", 1, -2, 3)),
    "vector": msg(
        "geometry_msgs/msg/Vector3Stamped", header=header(), vector=xyz("Vector3", 1, -2, 3)
    ),
    "pose": msg("geometry_msgs/msg/PoseStamped", header=header(), pose=pose()),
    "pose_with_covariance": msg(
        "geometry_msgs/msg/PoseWithCovarianceStamped",
        header=header(),
        pose=msg("geometry_msgs/msg/PoseWithCovariance", pose=pose(), covariance=COVARIANCE),
    ),
    "transform": msg(
        "geometry_msgs/msg/TransformStamped",
        header=header(),
        child_frame_id="camera",
        transform=msg(
            "geometry_msgs/msg/Transform",
            translation=xyz("Vector3", 0.3, 0.2, -0.1),
            rotation=ORIENTATION,
        ),
    ),
}


def expected(kind, m, message):
    """What each kind must become under the 4x4 m, by matrix arithmetic."""
    r = m[:3, :3]
    if kind == "point":
        return {"point": (m @ [*vars3(message.point), 1])[:3]}
    if kind == "vector":
        return {"vector": r @ vars3(message.vector)}
    if kind == "transform":
        t = np.eye(4)
        t[:3, :3] = rotation_of(message.transform.rotation)
        t[:3, 3] = vars3(message.transform.translation)
        return {"transform": m @ t}
    p = message.pose.pose if kind == "pose_with_covariance" else message.pose
    out = {
        "position": (m @ [*vars3(p.position), 1])[:3],
        "orientation": r @ rotation_of(p.orientation),
    }
    if kind == "pose_with_covariance":
        r6 = np.kron(np.eye(2), r)
        out["covariance"] = (r6 @ COVARIANCE.reshape(6, 6) @ r6.T).ravel()
    return out


def vars3(v):
    return [v.x, v.y, v.z]


def actual(kind, out):
    if kind == "point":
        return {"point": vars3(out.point)}
    if kind == "vector":
        return {"vector": vars3(out.vector)}
    if kind == "transform":
        t = np.eye(4)
        t[:3, :3] = rotation_of(out.transform.rotation)
        t[:3, 3] = vars3(out.transform.translation)
        return {"transform": t}
    p = out.pose.pose if kind == "pose_with_covariance" else out.pose
    found = {"position": vars3(p.position), "orientation": rotation_of(p.orientation)}
    if kind == "pose_with_covariance":
        found["covariance"] = out.pose.covariance
    return found


@pytest.mark.parametrize("kind", CASES)
def test_message_is_reexpressed_in_the_target_frame_at_its_stamp(buffer, kind):
    message = CASES[kind]
    before = copy.deepcopy(message)
    out = transform_message(buffer, message, "map")
    m = np.array(buffer.lookup("laser", "map", STAMP))
    want, got = expected(kind, m, message), actual(kind, out)
    for name in want:
        np.testing.assert_allclose(
            np.ravel(got[name]), np.ravel(want[name]), atol=1e-12, err_msg=f"{kind}: {name}"
        )
    assert type(out) is type(message), f"{kind}: the input's own class"
    assert (out.header.frame_id, out.header.stamp) == ("map", message.header.stamp), kind
    assert repr(message) == repr(before), f"{kind}: the input is untouched"
    if kind == "transform":
        assert out.child_frame_id == "camera", "the child frame stays"


def test_ros1_shapes_keep_their_stamp_and_covariance_types(buffer, ros):
    # ROS 1 messages carry secs/nsecs and a tuple covariance.
    message = ros.message("laser", 5, 0, pose=copy.deepcopy(CASES["pose_with_covariance"].pose))
    del message.header.stamp.sec, message.header.stamp.nanosec
    message.header.stamp.secs, message.header.stamp.nsecs = 5, 0
    message.pose.covariance = tuple(COVARIANCE)
    out = transform_message(buffer, message, "map")
    assert type(out.pose.covariance) is tuple, "a tuple stays a tuple"
    want = expected("pose_with_covariance", np.array(buffer.lookup("laser", "map", STAMP)), out)
    np.testing.assert_allclose(out.pose.covariance, want["covariance"], atol=1e-12)


def test_unsupported_messages_name_what_is_supported(buffer):
    scan = msg(
        "sensor_msgs/msg/Imu",
        header=header(),
        orientation=ORIENTATION,
        orientation_covariance=np.zeros(9),
        angular_velocity=xyz("Vector3", 0, 0, 0),
        angular_velocity_covariance=np.zeros(9),
        linear_acceleration=xyz("Vector3", 0, 0, 0),
        linear_acceleration_covariance=np.zeros(9),
    )
    with pytest.raises(TypeError) as info:
        transform_message(buffer, scan, "map")
    assert str(info.value) == (
        "transform_message() supports PointStamped, Vector3Stamped, PoseStamped, "
        "PoseWithCovarianceStamped, TransformStamped and PointCloud2 messages, "
        "not 'sensor_msgs__msg__Imu'"
    )
