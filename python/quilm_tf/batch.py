"""Lookups and point transforms over numpy arrays, one call for a whole array.

Each function takes the buffer's read lock once and does its work in the extension, reading
and writing the arrays in place: no Python object per stamp or per point. numpy is an
optional dependency: ``pip install "quilm-tf[numpy]"``.
"""

from __future__ import annotations

import operator
from typing import TYPE_CHECKING, Any

from quilm_tf import _native
from quilm_tf.stamps import ROS_TIME_LIMIT_NS as _ROS_TIME_LIMIT_NS

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt

    from quilm_tf._native import TransformBuffer

__all__ = ["lookup_many", "can_transform_many", "transform_points"]

# The extension's private helpers; they fill arrays the functions below allocate.
_lookup_many = _native._lookup_many  # type: ignore[attr-defined]
_can_transform_many = _native._can_transform_many  # type: ignore[attr-defined]
_transform_points = _native._transform_points  # type: ignore[attr-defined]

_U128_LIMIT = 1 << 128


def _numpy(function: str) -> Any:
    try:
        import numpy
    except ImportError as error:
        raise ImportError(
            f'quilm_tf.{function} needs numpy; install it with: pip install "quilm-tf[numpy]"'
        ) from error
    return numpy


def _stamps(numpy: Any, stamps: Any, name: str) -> tuple[np.ndarray, tuple[int, int] | None]:
    """A 1-D integer array in native byte order, and (index, value) of the first stamp too
    large for lookup even to convert (2^128 or more, only in lists of Python ints), if any.

    Python ints that no 64-bit dtype holds together are clamped to values that lookup
    refuses the same way: negative ones to -1, ones past the ROS time range to the limit.
    """
    array = numpy.asarray(stamps)
    if array.ndim != 1:
        raise ValueError(f"{name} must be a 1-D array of integer stamps, got shape {array.shape}")
    if array.dtype.kind in "iu":
        if not array.dtype.isnative:
            array = array.astype(array.dtype.newbyteorder("="))
        return array, None
    if array.size == 0:
        return numpy.empty(0, numpy.int64), None
    if isinstance(stamps, numpy.ndarray) and array.dtype.kind != "O":
        raise TypeError(f"{name} must hold integers, got dtype {array.dtype}")
    clamped = numpy.empty(len(array), numpy.int64)
    huge = None
    for i, value in enumerate(numpy.asarray(stamps, dtype=object)):
        try:
            stamp = operator.index(value)
        except TypeError as error:
            error.add_note(f"at index {i} of {name}")
            raise
        if stamp >= _U128_LIMIT and huge is None:
            huge = (i, stamp)
        clamped[i] = -1 if stamp < 0 else min(stamp, _ROS_TIME_LIMIT_NS)
    return clamped, huge


def _raise_huge(
    buffer: TransformBuffer, frames: tuple[str, str], huge: tuple[int, int], name: str
) -> None:
    """Raises lookup's own error for a stamp too large for it to convert."""
    index, stamp = huge
    try:
        buffer.lookup(*frames, stamp)
    except Exception as error:
        error.add_note(f"at index {index} of {name}")
        raise
    raise AssertionError("lookup accepted a stamp of 2^128 or more")


def lookup_many(
    buffer: TransformBuffer, from_frame: str, to_frame: str, stamps_ns: npt.ArrayLike
) -> np.ndarray:
    """The transform from `from_frame` to `to_frame` at each of `stamps_ns`.

    Returns a float64 array of shape (N, 4, 4) whose element i is exactly the matrix
    ``buffer.lookup(from_frame, to_frame, stamps_ns[i])`` returns. `stamps_ns` is any 1-D
    array-like of integer nanoseconds (int64, uint64, Python ints).

    Raises what ``lookup`` raises for the first stamp it would refuse (``TransformError``,
    ``ValueError`` for a stamp at or past the ROS time range, ``OverflowError`` for a
    negative one), with the note "at index {i} of stamps_ns"; nothing is returned then.
    Raises ``ValueError`` for an array that is not 1-D, ``TypeError`` for one that does
    not hold integers, and ``ImportError`` without numpy.
    """
    numpy = _numpy("lookup_many")
    stamps, huge = _stamps(numpy, stamps_ns, "stamps_ns")
    # Stamps before one too large to convert still raise first, as lookups in order would.
    end = len(stamps) if huge is None else huge[0]
    out: np.ndarray = numpy.empty((len(stamps), 4, 4))
    _lookup_many(buffer, from_frame, to_frame, stamps[:end], out[:end])
    if huge is not None:
        _raise_huge(buffer, (from_frame, to_frame), huge, "stamps_ns")
    return out


def can_transform_many(
    buffer: TransformBuffer, from_frame: str, to_frame: str, stamps_ns: npt.ArrayLike
) -> np.ndarray:
    """Whether ``lookup_many`` would succeed at each of `stamps_ns`, as a bool array (N,).

    Element i equals ``buffer.can_transform(from_frame, to_frame, stamps_ns[i])``; a stamp
    that is negative or at or past the ROS time range gives False. Never raises for a
    stamp; raises ``ValueError``/``TypeError`` for an array that is not 1-D or not of
    integers, and ``ImportError`` without numpy.
    """
    numpy = _numpy("can_transform_many")
    stamps, _ = _stamps(numpy, stamps_ns, "stamps_ns")
    out: np.ndarray = numpy.empty(len(stamps), bool)
    _can_transform_many(buffer, from_frame, to_frame, stamps, out)
    return out


def transform_points(
    buffer: TransformBuffer,
    from_frame: str,
    to_frame: str,
    stamp_ns: int | npt.ArrayLike,
    points: npt.ArrayLike,
) -> np.ndarray:
    """`points` given in `from_frame` at `stamp_ns`, in `to_frame` coordinates.

    `points` is any (N, 3) array-like of float32 or float64 (integers are converted to
    float64), with any strides. `stamp_ns` is one integer, or a 1-D array of N integer
    stamps, one per point (motion compensation of a sweep): point i is transformed with
    ``lookup(from_frame, to_frame, stamp_ns[i])``, and a run of equal stamps shares one
    lookup. Returns a new float64 array (N, 3); row i is ``R @ p + t`` of that matrix,
    each coordinate summed left to right: ``((R[r,0] x + R[r,1] y) + R[r,2] z) + t[r]``.

    Errors as ``lookup`` raises them: for one stamp exactly so; for per-point stamps, those
    of the first failing stamp, with the note "at index {i} of stamp_ns". Raises
    ``ValueError`` for `points` not of shape (N, 3) or stamps not of shape (N,),
    ``TypeError`` for points of another dtype, and ``ImportError`` without numpy.
    """
    numpy = _numpy("transform_points")
    array = numpy.asarray(points)
    if array.ndim != 2 or array.shape[1] != 3:
        raise ValueError(f"points must have shape (N, 3), got {array.shape}")
    if array.dtype.kind in "iu" or array.dtype in (numpy.float16, numpy.longdouble):
        array = array.astype(numpy.float64)
    elif array.dtype.kind != "f":
        raise TypeError(f"points must hold float32 or float64, got dtype {array.dtype}")
    elif not array.dtype.isnative:
        array = array.astype(array.dtype.newbyteorder("="))
    out: np.ndarray = numpy.empty((len(array), 3))
    if numpy.ndim(stamp_ns) == 0:
        _transform_points(buffer, from_frame, to_frame, stamp_ns, array, out)
        return out
    stamps, huge = _stamps(numpy, stamp_ns, "stamp_ns")
    if len(stamps) != len(array):
        expected = f"one stamp or one per point, shape ({len(array)},)"
        raise ValueError(f"stamp_ns must be {expected}, got shape {stamps.shape}")
    end = len(stamps) if huge is None else huge[0]
    _transform_points(buffer, from_frame, to_frame, stamps[:end], array[:end], out[:end])
    if huge is not None:
        _raise_huge(buffer, (from_frame, to_frame), huge, "stamp_ns")
    return out
