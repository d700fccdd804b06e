"""Stamped geometry messages re-expressed in another frame, whatever library made their class.

Messages are read and written by attribute only, so the classes of ROS 2 (rclpy), ROS 1
(genpy) and rosbags all work: the result is a deep copy of the input, of its own class, with
the geometry and ``header.frame_id`` replaced; the input is never modified.
"""

from __future__ import annotations

import copy
from typing import Any

from quilm_tf._native import TransformBuffer
from quilm_tf.stamps import stamp_ns
from quilm_tf.tools.geometry import quaternion_of

__all__ = ["transform_message"]

SUPPORTED = (
    "PointStamped, Vector3Stamped, PoseStamped, PoseWithCovarianceStamped, TransformStamped "
    "and PointCloud2"
)

Matrix = list[list[float]]


def _apply(m: Matrix, x: float, y: float, z: float, w: float) -> tuple[float, float, float]:
    """m times (x, y, z, w): w = 1 for a point, 0 for a vector."""
    return (
        m[0][0] * x + m[0][1] * y + m[0][2] * z + m[0][3] * w,
        m[1][0] * x + m[1][1] * y + m[1][2] * z + m[1][3] * w,
        m[2][0] * x + m[2][1] * y + m[2][2] * z + m[2][3] * w,
    )


def _set_xyz(target: Any, source: Any, m: Matrix, w: float) -> None:
    target.x, target.y, target.z = _apply(m, source.x, source.y, source.z, w)


def _rotate_quaternion(m: Matrix, target: Any, source: Any) -> None:
    """target = rotation of m composed with source, both as (x, y, z, w) quaternions."""
    ax, ay, az, aw = quaternion_of(m)
    bx, by, bz, bw = source.x, source.y, source.z, source.w
    target.x = aw * bx + ax * bw + ay * bz - az * by
    target.y = aw * by - ax * bz + ay * bw + az * bx
    target.z = aw * bz + ax * by - ay * bx + az * bw
    target.w = aw * bw - ax * bx - ay * by - az * bz


def _rotate_covariance(m: Matrix, covariance: Any) -> Any:
    """R6 C R6^T with R6 = blockdiag(R, R): position and rotation rows both turn with R.

    Returned as the input's own kind of sequence (a tuple for ROS 1, an array for ROS 2 and
    rosbags) of the 36 row-major values."""
    c = [float(value) for value in covariance]
    if len(c) != 36:
        raise ValueError(f"covariance must hold 36 values (6x6, row-major), got {len(c)}")
    r6 = [[0.0] * 6 for _ in range(6)]
    for block in (0, 3):
        for i in range(3):
            for j in range(3):
                r6[block + i][block + j] = m[i][j]
    rc = [[sum(r6[i][k] * c[6 * k + j] for k in range(6)) for j in range(6)] for i in range(6)]
    out = [sum(rc[i][k] * r6[j][k] for k in range(6)) for i in range(6) for j in range(6)]
    if isinstance(covariance, list | tuple):
        return type(covariance)(out)
    try:
        import numpy

        return numpy.asarray(out, dtype=getattr(covariance, "dtype", numpy.float64))
    except ImportError:
        return out


def _kind(message: Any) -> str | None:
    if hasattr(message, "child_frame_id") and hasattr(message, "transform"):
        return "transform"
    if hasattr(message, "fields") and hasattr(message, "point_step"):
        return "cloud"
    pose = getattr(message, "pose", None)
    if hasattr(pose, "pose") and hasattr(pose, "covariance"):
        return "pose_with_covariance"
    if hasattr(pose, "position") and hasattr(pose, "orientation"):
        return "pose"
    if hasattr(message, "point"):
        return "point"
    if hasattr(message, "vector"):
        return "vector"
    return None


def transform_message(buffer: TransformBuffer, message: Any, target_frame: str) -> Any:
    """A new message of ``message``'s class, re-expressed in ``target_frame``.

    The transform is looked up from ``message.header.frame_id`` to ``target_frame`` at the
    message's stamp. Supported: ``PointStamped`` (rotated and translated), ``Vector3Stamped``
    (rotated only), ``PoseStamped`` (position and orientation), ``PoseWithCovarianceStamped``
    (the 6x6 covariance rotated too), ``TransformStamped`` (its parent becomes
    ``target_frame``, its child stays) and ``PointCloud2`` (as ``quilm_tf.clouds.transform_cloud``
    does it). The result's ``header.frame_id`` is ``target_frame``; its stamp is the input's.

    Raises TypeError for any other message, TransformError when the lookup fails, and what
    ``stamp_ns`` raises for an unreadable stamp.
    """
    kind = _kind(message)
    if kind is None or not hasattr(message, "header"):
        raise TypeError(
            f"transform_message() supports {SUPPORTED} messages, not {type(message).__name__!r}"
        )
    if kind == "cloud":
        from quilm_tf.clouds import transform_cloud

        return transform_cloud(buffer, message, target_frame)
    m = buffer.lookup(message.header.frame_id, target_frame, stamp_ns(message))
    out = copy.deepcopy(message)
    out.header.frame_id = target_frame
    if kind == "point":
        _set_xyz(out.point, message.point, m, 1.0)
    elif kind == "vector":
        _set_xyz(out.vector, message.vector, m, 0.0)
    elif kind == "pose":
        _set_xyz(out.pose.position, message.pose.position, m, 1.0)
        _rotate_quaternion(m, out.pose.orientation, message.pose.orientation)
    elif kind == "pose_with_covariance":
        _set_xyz(out.pose.pose.position, message.pose.pose.position, m, 1.0)
        _rotate_quaternion(m, out.pose.pose.orientation, message.pose.pose.orientation)
        out.pose.covariance = _rotate_covariance(m, message.pose.covariance)
    else:
        _set_xyz(out.transform.translation, message.transform.translation, m, 1.0)
        _rotate_quaternion(m, out.transform.rotation, message.transform.rotation)
    return out
