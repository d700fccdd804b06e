# transform_message on rosbags' classes (the live suite runs the real ROS 2 ones), against the
# buffer's own lookup M: a point's homogeneous column becomes M p, a vector's (w = 0) R v, a
# pose's or transform's 4x4 becomes M P, a covariance R6 C R6^T.

import copy
from types import SimpleNamespace

import numpy as np
import pytest
from rosbags.typesys import Stores, get_typestore

from quilm_tf import TransformBuffer, transform_message

TYPES = get_typestore(Stores.ROS2_HUMBLE).types
STAMP = 5_000_000_000


def msg(name, **fields):
    return TYPES[name if "/" in name else f"geometry_msgs/msg/{name}"](**fields)


def rotation(x, y, z, w):
    return np.array(
        [
            [1 - 2 * (y * y + z * z), 2 * (x * y - z * w), 2 * (x * z + y * w)],
            [2 * (x * y + z * w), 1 - 2 * (x * x + z * z), 2 * (y * z - x * w)],
            [2 * (x * z - y * w), 2 * (y * z + x * w), 1 - 2 * (x * x + y * y)],
        ]
    )


def rigid(q, t):
    m = np.eye(4)
    m[:3, :3], m[:3, 3] = rotation(*(np.array(q) / np.linalg.norm(q))), t
    return m


Q = np.array([0.1, -0.7, 0.3, 0.64]) / np.linalg.norm([0.1, -0.7, 0.3, 0.64])
C = (lambda a: (a @ a.T).ravel())(np.arange(36.0).reshape(6, 6) / 10 + np.eye(6))
TIME = msg("builtin_interfaces/msg/Time", sec=STAMP // 10**9, nanosec=0)
HEADER = msg("std_msgs/msg/Header", stamp=TIME, frame_id="laser")
POSE = msg(
    "Pose",
    position=msg("Point", x=1, y=-2, z=0.5),
    orientation=msg("Quaternion", **dict(zip("xyzw", Q))),
)
CASES = {
    "point": msg("PointStamped", header=HEADER, point=msg("Point", x=1, y=-2, z=3)),
    "vector": msg("Vector3Stamped", header=HEADER, vector=msg("Vector3", x=1, y=-2, z=3)),
    "pose": msg("PoseStamped", header=HEADER, pose=POSE),
    "covariance": msg(
        "PoseWithCovarianceStamped",
        header=HEADER,
        pose=msg("PoseWithCovariance", pose=POSE, covariance=C),
    ),
    "transform": msg(
        "TransformStamped",
        header=HEADER,
        child_frame_id="camera",
        transform=msg(
            "Transform", translation=msg("Vector3", x=0.3, y=0.2, z=-0.1), rotation=POSE.orientation
        ),
    ),
}


def homogeneous(kind, m):
    if kind in ("point", "vector"):
        v = getattr(m, kind)
        return np.array([v.x, v.y, v.z, kind == "point"])
    pose = m.pose.pose if kind == "covariance" else m.pose if kind == "pose" else None
    t, q = (
        (pose.position, pose.orientation)
        if pose
        else (m.transform.translation, m.transform.rotation)
    )
    return rigid([q.x, q.y, q.z, q.w], [t.x, t.y, t.z])


@pytest.fixture
def buffer():
    # laser -> base -> map with base moving: only the message's own stamp gives M.
    b = TransformBuffer(100.0)
    b.insert_transform("base", "laser", rigid([0.2, 0.3, 0.5, 0.8], [0.2, -0.1, 0.4]), 0, True)
    b.insert_transform("map", "base", rigid([0, 0, 0.6, 0.8], [1, 2, 0]), STAMP - 10**9)
    b.insert_transform("map", "base", rigid([0.4, -0.2, 0.1, 0.9], [4, -3, 2]), STAMP)
    return b


@pytest.mark.parametrize("kind", CASES)
def test_a_message_is_reexpressed_in_the_target_frame_at_its_stamp(buffer, kind):
    message = CASES[kind]
    before = repr(message)
    out = transform_message(buffer, message, "map")
    m = np.array(buffer.lookup("laser", "map", STAMP))
    np.testing.assert_allclose(homogeneous(kind, out), m @ homogeneous(kind, message), atol=1e-12)
    if kind == "covariance":
        r6 = np.kron(np.eye(2), m[:3, :3])
        np.testing.assert_allclose(out.pose.covariance, (r6 @ C.reshape(6, 6) @ r6.T).ravel())
    assert (type(out), out.header.frame_id, out.header.stamp) == (type(message), "map", TIME)
    assert repr(message) == before, f"{kind}: the input is untouched"
    assert getattr(out, "child_frame_id", "camera") == "camera", "a transform keeps its child"


def test_a_ros1_covariance_stays_a_tuple(buffer, ros):
    message = ros.message("laser", 5, 0, pose=copy.deepcopy(CASES["covariance"].pose))
    message.header.stamp = SimpleNamespace(secs=5, nsecs=0)
    message.pose.covariance = tuple(C)
    assert type(transform_message(buffer, message, "map").pose.covariance) is tuple


def test_unsupported_messages_name_what_is_supported(buffer, ros):
    with pytest.raises(TypeError) as info:
        transform_message(buffer, ros.message("laser", ranges=[1.0]), "map")
    assert str(info.value) == (
        "transform_message() supports PointStamped, Vector3Stamped, PoseStamped, "
        "PoseWithCovarianceStamped, TransformStamped and PointCloud2 messages, not 'Message'"
    )
