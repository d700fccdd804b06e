"""Point clouds (``sensor_msgs/PointCloud2`` and anything shaped like it) moved between frames
in one call, each point's coordinates rewritten in a copy of the cloud's bytes.

The work runs in the extension, at about the cost of copying the bytes, with the interpreter
lock released. numpy is not needed, unless the cloud's ``data`` is a numpy array.
"""

from __future__ import annotations

import array
import copy
import dataclasses
import operator
import sys
from typing import Any, TypeVar

from quilm_tf import _native
from quilm_tf._native import TransformBuffer
from quilm_tf.stamps import stamp_ns

__all__ = ["transform_cloud", "deskew_cloud"]

# The extension's private helpers; they fill the data the functions below allocate.
_transform_cloud = _native._transform_cloud
_deskew_cloud = _native._deskew_cloud

Cloud = TypeVar("Cloud")

_TIME_BASES = ("relative", "absolute")


def _layout(cloud: Any) -> tuple[list[tuple[str, int, int, int]], int, int, int, int, bool]:
    """The arguments the helpers take to describe a cloud's layout, before its data."""
    fields = [(f.name, f.offset, f.datatype, f.count) for f in cloud.fields]
    return (
        fields,
        cloud.height,
        cloud.width,
        cloud.point_step,
        cloud.row_step,
        bool(cloud.is_bigendian),
    )


def _data(cloud: Any) -> tuple[Any, Any]:
    """The cloud's bytes as a contiguous buffer, and an empty one of the same type and size
    for the result (a bytearray for bytes, lists and other types)."""
    data = cloud.data
    numpy = sys.modules.get("numpy")
    if numpy is not None and isinstance(data, numpy.ndarray):
        data = numpy.ascontiguousarray(data)
        return data, numpy.empty_like(data)
    if isinstance(data, array.array):
        return data, array.array(data.typecode, bytes(len(data) * data.itemsize))
    try:
        view = memoryview(data)
    except TypeError:
        data = bytes(data)  # a sequence of byte values
        view = memoryview(data)
    return data, bytearray(view.nbytes)


def _header(cloud: Any) -> Any:
    return cloud.header


def _result_data(cloud: Any, out: Any) -> Any:
    return bytes(out) if isinstance(cloud.data, bytes) else out


def _moved(cloud: Any, frame_id: str, data: Any) -> Any:
    """A shallow copy of `cloud` with a copied header naming `frame_id`, and `data`."""
    # A frozen dataclass (a message class of some bag readers) is copied through replace.
    params = getattr(type(cloud), "__dataclass_params__", None)
    if params is not None and params.frozen:
        header = dataclasses.replace(cloud.header, frame_id=frame_id)
        return dataclasses.replace(cloud, header=header, data=data)
    header = copy.copy(cloud.header)
    header.frame_id = frame_id
    moved = copy.copy(cloud)
    moved.header = header
    moved.data = data
    return moved


def transform_cloud(buffer: TransformBuffer, cloud: Cloud, target_frame: str) -> Cloud:
    """`cloud` moved into `target_frame`: every point is transformed from
    ``cloud.header.frame_id`` at ``cloud.header.stamp`` with the matrix ``buffer.lookup``
    gives for them.

    `cloud` is any PointCloud2-shaped object (``header`` with ``frame_id`` and ``stamp``,
    ``height``, ``width``, ``fields`` with ``name``, ``offset``, ``datatype``, ``count``,
    ``is_bigendian``, ``point_step``, ``row_step``, ``data``): the ROS 2 or ROS 1 message,
    rosbags' class, or a plain object. Returns ``copy.copy(cloud)`` with a copied header whose
    ``frame_id`` is `target_frame` (stamp unchanged) and new ``data`` of the input's type
    (bytes, bytearray, ``array.array`` or numpy array); the input is not modified.

    The ``x``, ``y`` and ``z`` fields (float32 or float64, count 1, any offsets, either byte
    order) are computed in double as ``transform_points`` does,
    ``((R[r,0] x + R[r,1] y) + R[r,2] z) + t[r]``, and stored in their own type; every other
    byte (other fields, padding, row padding) is copied unchanged, and NaN points stay NaN.
    Coordinates are in the frames' units (meters).

    Raises ``ValueError`` naming the problem for a missing, non-float or multi-count
    ``x``/``y``/``z`` field, a field past ``point_step``, ``row_step`` shorter than
    ``width * point_step`` or ``data`` shorter than ``height * row_step``; and what ``lookup``
    raises (``TransformError``, ``ValueError``) when the transform cannot be looked up.
    """
    data, out = _data(cloud)
    header = _header(cloud)
    _transform_cloud(
        buffer, header.frame_id, target_frame, stamp_ns(header.stamp), *_layout(cloud), data, out
    )
    moved: Cloud = _moved(cloud, target_frame, _result_data(cloud, out))
    return moved


def deskew_cloud(
    buffer: TransformBuffer,
    cloud: Cloud,
    target_frame: str,
    fixed_frame: str,
    time_field: str,
    *,
    time_base: str = "relative",
    resolution_ns: int = 0,
) -> Cloud:
    """`cloud` with each point moved from ``cloud.header.frame_id`` at its own time into
    `target_frame` at ``cloud.header.stamp``, by way of `fixed_frame`, which is assumed not to
    move meanwhile: point i is transformed by ``lookup_across_time(buffer, frame_id, t_i,
    target_frame, header_stamp, fixed_frame)``. Deskewing a lidar sweep is
    ``deskew_cloud(buffer, sweep, sweep.header.frame_id, "odom", "t")``.

    `time_field` names the per-point time: an integer field holds nanoseconds, a float field
    seconds (made nanoseconds exactly, rounded to the nearest, ties to even). With
    ``time_base="relative"`` times are offsets from ``header.stamp``; with ``"absolute"``
    they count from the epoch.

    ``resolution_ns=0`` is exact: every point gets the transform at its own time (a run of
    equal times shares one). With ``resolution_ns > 0`` each time is first rounded to the
    nearest multiple of it (halves up), and one transform serves each rounded time. A point
    is then moved as if seen up to ``resolution_ns / 2`` earlier or later: its position errs
    by at most ``(v + w * r) * resolution_ns / 2``, with ``v`` the sensor's speed in the fixed
    frame (m/s), ``w`` its turn rate (rad/s) and ``r`` the point's range (m), while the motion
    is smooth within a bin (1 ms at 2 m/s and 1 rad/s gives 1 mm plus 0.5 mm per meter of
    range).

    Returns the cloud as ``transform_cloud`` does; the time field and every byte except
    ``x``, ``y``, ``z`` are copied unchanged. Raises what ``transform_cloud`` raises, plus
    ``ValueError`` for a missing or multi-count time field, a NaN or infinite float time, an
    unknown `time_base` or a negative `resolution_ns`; a point whose time cannot be looked
    up raises what ``lookup`` raises, with the note "at index {i} of points" (row-major).
    """
    if time_base not in _TIME_BASES:
        raise ValueError(f'time_base must be "relative" or "absolute", got {time_base!r}')
    resolution = operator.index(resolution_ns)
    if resolution < 0:
        raise ValueError(f"resolution_ns must be non-negative, got {resolution}")
    data, out = _data(cloud)
    header = _header(cloud)
    _deskew_cloud(
        buffer,
        header.frame_id,
        target_frame,
        fixed_frame,
        stamp_ns(header.stamp),
        *_layout(cloud),
        data,
        out,
        time_field,
        time_base == "absolute",
        resolution,
    )
    moved: Cloud = _moved(cloud, target_frame, _result_data(cloud, out))
    return moved
