"""Rotations and poses for the reports, on the nested-list 4x4 matrices that lookups return."""

from __future__ import annotations

import math
from collections.abc import Sequence


def rpy_degrees(m: Sequence[Sequence[float]]) -> tuple[float, float, float]:
    """Roll, pitch, yaw (rotations about x, then y, then z of the parent) in degrees."""
    pitch = math.asin(max(-1.0, min(1.0, -m[2][0])))
    roll = math.atan2(m[2][1], m[2][2])
    yaw = math.atan2(m[1][0], m[0][0])
    return math.degrees(roll), math.degrees(pitch), math.degrees(yaw)


def quaternion_of(m: Sequence[Sequence[float]]) -> tuple[float, float, float, float]:
    """(x, y, z, w) of the rotation block, with w >= 0 (q and -q are one rotation)."""
    trace = m[0][0] + m[1][1] + m[2][2]
    # Divide by the largest of the four candidates, never by a component near zero.
    if trace > 0:
        s = 2 * math.sqrt(1 + trace)
        q = ((m[2][1] - m[1][2]) / s, (m[0][2] - m[2][0]) / s, (m[1][0] - m[0][1]) / s, s / 4)
    elif m[0][0] >= m[1][1] and m[0][0] >= m[2][2]:
        s = 2 * math.sqrt(1 + m[0][0] - m[1][1] - m[2][2])
        q = (s / 4, (m[0][1] + m[1][0]) / s, (m[0][2] + m[2][0]) / s, (m[2][1] - m[1][2]) / s)
    elif m[1][1] >= m[2][2]:
        s = 2 * math.sqrt(1 + m[1][1] - m[0][0] - m[2][2])
        q = ((m[0][1] + m[1][0]) / s, s / 4, (m[1][2] + m[2][1]) / s, (m[0][2] - m[2][0]) / s)
    else:
        s = 2 * math.sqrt(1 + m[2][2] - m[0][0] - m[1][1])
        q = ((m[0][2] + m[2][0]) / s, (m[1][2] + m[2][1]) / s, s / 4, (m[1][0] - m[0][1]) / s)
    norm = math.sqrt(sum(c * c for c in q))
    sign = -1.0 if q[3] < 0 else 1.0
    x, y, z, w = (sign * c / norm for c in q)
    return x, y, z, w


def fixed(value: float, width: int, digits: int) -> str:
    # Rounded first, so that -0.0001 prints as 0.000 rather than -0.000.
    return f"{round(value, digits) + 0.0:{width}.{digits}f}"


def describe_pose(m: Sequence[Sequence[float]]) -> str:
    xyz = ", ".join(fixed(m[row][3], 7, 3) for row in range(3))
    rpy = ", ".join(fixed(angle, 6, 1) for angle in rpy_degrees(m))
    return f"xyz ({xyz}) m   rpy ({rpy}) deg"
