"""Questions about a whole buffer: the newest common time of a chain, lookups at that time
or across two times, and the list of frames."""

from typing import NamedTuple

from quilm_tf import _native
from quilm_tf._native import TransformBuffer

Matrix = list[list[float]]


class FrameInfo(NamedTuple):
    """One child frame of a buffer and the link to its parent.

    ``samples`` is how many stamped transforms the link holds (1 for a static link);
    ``oldest_ns`` and ``newest_ns`` are the first and last of their stamps, in nanoseconds
    (0 and 0 for a static link, which is valid at every time).
    """

    name: str
    parent: str
    is_static: bool
    samples: int
    oldest_ns: int
    newest_ns: int


def latest_common_time(buffer: TransformBuffer, frame_a: str, frame_b: str) -> int:
    """The newest stamp, in nanoseconds, at which every link between the two frames has data.

    That is the oldest of the newest stamps of the dynamic links on the chain. It is 0 when
    the chain holds only static links or the two names are equal (after leading "/" are
    removed). Raises TransformError, with the text ``lookup`` would give, for an invalid
    frame name, a frame not in the buffer or two frames that no chain joins.
    """
    return _native._latest_common_time(buffer, frame_a, frame_b)


def lookup_latest(buffer: TransformBuffer, from_frame: str, to_frame: str) -> tuple[Matrix, int]:
    """The newest transform available from ``from_frame`` to ``to_frame``, and its stamp.

    Returns ``(matrix, stamp_ns)``: ``buffer.lookup(from_frame, to_frame, stamp_ns)`` at the
    stamp ``latest_common_time`` gives, both read as one snapshot of the buffer. The 4x4
    matrix maps coordinates given in ``from_frame`` to coordinates in ``to_frame``. Raises
    TransformError as those two do, for example when the links of the chain have no stamp
    in common.
    """
    return _native._lookup_latest(buffer, from_frame, to_frame)


def lookup_across_time(
    buffer: TransformBuffer,
    from_frame: str,
    from_stamp_ns: int,
    to_frame: str,
    to_stamp_ns: int,
    fixed_frame: str,
) -> Matrix:
    """Maps coordinates given in ``from_frame`` at ``from_stamp_ns`` into ``to_frame`` at
    ``to_stamp_ns``, assuming ``fixed_frame`` does not move between the two times.

    The 4x4 result is ``to_T_fixed @ fixed_T_from``, with ``to_T_fixed =
    buffer.lookup(fixed_frame, to_frame, to_stamp_ns)`` and ``fixed_T_from =
    buffer.lookup(from_frame, fixed_frame, from_stamp_ns)``, both read under one lock as one
    snapshot of the buffer: for example where a point the laser saw at 101 s lies in the
    laser's frame at 103 s, through ``map``. Entry (r, c) of the top three rows is summed
    from zero, k in order: ``(((0 + a[r][0] b[0][c]) + a[r][1] b[1][c]) + a[r][2] b[2][c]) +
    a[r][3] b[3][c]`` with ``a = to_T_fixed``, ``b = fixed_T_from``; the bottom row is
    exactly 0, 0, 0, 1. ``deskew_cloud`` moves each point with this same matrix. Stamps are
    integer nanoseconds. Raises what either lookup raises (TransformError, ValueError,
    OverflowError), the one at ``from_stamp_ns`` first.
    """
    return _native._lookup_across_time(
        buffer, from_frame, from_stamp_ns, to_frame, to_stamp_ns, fixed_frame
    )


def frames(buffer: TransformBuffer) -> list[FrameInfo]:
    """Every child frame of the buffer, sorted by name, as one consistent snapshot.

    A root frame (one that is only ever a parent) has no entry of its own; it shows as the
    ``parent`` of its children.
    """
    return [FrameInfo(*row) for row in _native._frames(buffer)]
