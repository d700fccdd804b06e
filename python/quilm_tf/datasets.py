"""Tables of poses from recordings: for every stamp asked, where each requested frame was in
another, one row per (bag, stamp, pose), ready for Parquet, DuckDB, Polars or pandas.

``export_bag`` reads one bag (a rosbag2 folder, a .db3 or .mcap file, or a ROS 1 .bag) and
returns a ``pyarrow.Table`` in the long schema ``schema()``. It needs the optional packages
pyarrow and rosbags: ``pip install "quilm-tf[export]"``. The ``quilm-tf export`` command runs
it over many bags, in one process, in local processes or on a Dask cluster.
"""

from __future__ import annotations

import struct
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

from quilm_tf._native import TransformBuffer, TransformError
from quilm_tf.batch import can_transform_many, lookup_many

if TYPE_CHECKING:
    import pyarrow

    from quilm_tf.tools.bags import Bag, Refusals
    from quilm_tf.tools.tree import FrameTree

__all__ = ["COLUMNS", "export_bag", "schema"]

# Long enough that nothing expires: every sample of the bag stays (stamps are below 2^31 s).
_HISTORY_SECONDS = 2.0**31
_NS_PER_SECOND = 1_000_000_000
# Poses per request at most, from --rate over the span: past it, a bag is refused.
MAX_ROWS_PER_POSE = 10_000_000
COLUMNS = tuple("bag topic stamp_ns source target x y z qx qy qz qw error".split())
INSTALL_HINT = 'pip install "quilm-tf[export]" (pyarrow and rosbags)'


def _pyarrow() -> Any:
    try:
        import pyarrow
    except ImportError:
        from quilm_tf.tools.bags import BagError

        raise BagError(f"export needs the pyarrow package: {INSTALL_HINT}") from None
    return pyarrow


def schema() -> pyarrow.Schema:
    """The table's schema: bag, topic, source, target and error as strings, stamp_ns as
    int64, x, y, z, qx, qy, qz, qw as float64. error is null where the pose is given, and
    stamp_ns is null only on the one row of a pose that has no stamps at all."""
    pa = _pyarrow()
    text, number = pa.string(), pa.float64()
    types = [text, text, pa.int64(), text, text] + [number] * 7 + [text]
    return pa.schema(list(zip(COLUMNS, types)))


def quaternions(matrices: Any) -> Any:
    """(N, 4) quaternions (x, y, z, w), w >= 0, of the rotation blocks of (N, 4, 4) matrices:
    for each, the branch that divides by the largest of the four candidates."""
    import numpy as np

    m = matrices
    m00, m11, m22 = m[:, 0, 0], m[:, 1, 1], m[:, 2, 2]
    candidates = np.stack([m00 + m11 + m22, m00 - m11 - m22, m11 - m00 - m22, m22 - m00 - m11])
    branch = np.argmax(candidates, axis=0)
    s = 2 * np.sqrt(1 + candidates.max(axis=0))
    quarter = s / 4
    zyx = [
        (m[:, 2, 1] - m[:, 1, 2]) / s,
        (m[:, 0, 2] - m[:, 2, 0]) / s,
        (m[:, 1, 0] - m[:, 0, 1]) / s,
    ]
    sums = [
        (m[:, 0, 1] + m[:, 1, 0]) / s,
        (m[:, 0, 2] + m[:, 2, 0]) / s,
        (m[:, 1, 2] + m[:, 2, 1]) / s,
    ]
    by_branch = [
        (zyx[0], zyx[1], zyx[2], quarter),
        (quarter, sums[0], sums[1], zyx[0]),
        (sums[0], quarter, sums[2], zyx[1]),
        (sums[1], sums[2], quarter, zyx[2]),
    ]
    q = np.stack([np.choose(branch, [row[c] for row in by_branch]) for c in range(4)], axis=1)
    q /= np.linalg.norm(q, axis=1, keepdims=True)
    q[q[:, 3] < 0] *= -1
    # Adding 0.0 turns -0.0 into 0.0.
    return q + 0.0


def _header_stamp(raw: bytes, ros1: bool) -> int:
    """The header stamp of a serialized message whose first field is a std_msgs Header."""
    if ros1:
        sec, nanosec = struct.unpack_from("<II", raw, 4)  # after the sequence number
    else:
        order = ">" if raw[1] == 0 else "<"  # the CDR encapsulation's byte order
        sec, nanosec = struct.unpack_from(order + "iI", raw, 4)
    return int(sec) * _NS_PER_SECOND + int(nanosec)


def _topic_stamps(bag: Bag, topic_name: str) -> list[int]:
    from quilm_tf.tools.bags import BagError, has_header

    topic = bag.topic(topic_name)
    msgtype = bag.topics[topic].msgtype
    fields = None if msgtype is None else bag.reader.typestore.fielddefs.get(msgtype)
    if (
        fields is None
        or not has_header(bag.reader.typestore, msgtype)
        or fields[1][0][0] != "header"
    ):
        raise BagError(f"topic {topic} carries {msgtype}, which does not start with a header", 2)
    stamps = []
    for _, _, raw in bag.records(bag.connections([topic]), f"reading {topic}"):
        try:
            stamps.append(_header_stamp(raw, bag.ros1))
        except struct.error:
            raise BagError(f"cannot read {bag.path}: a message on {topic} is cut short") from None
    return stamps


def _grid(
    tree: FrameTree, source: str, target: str, bag_span: tuple[int, int], rate_hz: float
) -> tuple[Any, str | None]:
    """(stamps, None) at rate_hz over the span every dynamic link between the frames covers,
    or (None, why) when there is no such span. Too many stamps are a BagError."""
    import numpy as np

    from quilm_tf.tools.bags import BagError
    from quilm_tf.tools.echo import covered_span, no_chain

    for frame in (source, target):
        if frame not in tree.frames():
            return None, f"frame {frame} is not in the bag's transforms"
    links = tree.chain(source, target)
    if links is None:
        return None, str(no_chain(tree, source, target))
    try:
        begin, end = covered_span(tree, links, source, target, bag_span)
    except BagError as error:
        return None, str(error)
    # Each stamp from its own index, so that steps do not accumulate a rounding error.
    count = int((end - begin) * rate_hz / _NS_PER_SECOND + 1e-9) + 1
    if count > MAX_ROWS_PER_POSE:
        raise BagError(
            f"--rate {rate_hz:g} over {(end - begin) / _NS_PER_SECOND:.1f} s makes "
            f"{count:,} poses of {source} in {target}; at most {MAX_ROWS_PER_POSE:,}"
        )
    k = np.arange(count, dtype=np.float64)
    steps = np.round(k * (_NS_PER_SECOND / rate_hz)).astype(np.int64)
    return np.minimum(end, begin + steps), None


def _pose_table(
    buffer: TransformBuffer, bag: str, topic: str, pose: tuple[str, str], stamps: Any
) -> pyarrow.Table:
    """The rows of one pose at the stamps: one lookup_many over those that succeed, and the
    lookup's own message, with null values, for the others."""
    import numpy as np

    pa = _pyarrow()
    source, target = pose
    n = len(stamps)
    ok = can_transform_many(buffer, source, target, stamps)
    matrices = lookup_many(buffer, source, target, stamps[ok])
    values = np.zeros((n, 7))
    values[ok, :3] = matrices[:, :3, 3]
    values[ok, 3:] = quaternions(matrices)
    errors: list[str | None] = [None] * n
    for i in np.flatnonzero(~ok):
        try:
            buffer.lookup(source, target, int(stamps[i]))
        except (TransformError, ValueError, OverflowError) as error:
            errors[i] = str(error)
    columns = [
        pa.array([bag] * n, pa.string()),
        pa.array([topic] * n, pa.string()),
        pa.array(stamps, pa.int64()),
        pa.array([source] * n, pa.string()),
        pa.array([target] * n, pa.string()),
        *(pa.array(values[:, c], pa.float64(), mask=~ok) for c in range(7)),
        pa.array(errors, pa.string()),
    ]
    return pa.Table.from_arrays(columns, schema=schema())


def _missing_pose(bag: str, pose: tuple[str, str], why: str) -> pyarrow.Table:
    """The one row of a pose that has no stamps: null stamp and values, and why."""
    row = dict.fromkeys(COLUMNS)
    row.update(bag=bag, topic="", source=pose[0], target=pose[1], error=why)
    return _pyarrow().Table.from_pylist([row], schema=schema())


def export_bag(
    bag: str,
    poses: Sequence[tuple[str, str]],
    *,
    at: str | None = None,
    rate_hz: float | None = None,
    start_s: float | None = None,
    end_s: float | None = None,
    tf_topics: Sequence[str] = ("/tf", "/tf_static"),
) -> pyarrow.Table:
    """The poses of one bag as a ``pyarrow.Table`` of ``schema()``.

    `poses` are (source, target) frame pairs: each row gives the pose of source in target
    (x, y, z in metres, the rotation as a unit quaternion qx, qy, qz, qw with qw >= 0) at one
    stamp (stamp_ns, integer nanoseconds). Give exactly one of `at`, a topic whose messages'
    header stamps are taken in the order received, and `rate_hz`, a regular grid per pose
    over the span where every dynamic link of its chain has samples (a pose with no span,
    unknown frames or no chain, gets one row with a null stamp and the reason). `start_s`,
    `end_s` (seconds after the bag's first message) and `tf_topics` select what is read as
    the other commands do. A stamp where the pose is not available (a gap, a stamp outside
    the links' data) gets null values and the lookup's message in error; it never stops the
    export. Rows come per pose in the order given, then by stamp.

    Raises ``quilm_tf.tools.bags.BagError`` for a bag that cannot be read or a topic it does
    not have, ``ValueError`` unless exactly one of `at` and `rate_hz` is given, and
    ``BagError`` naming what to install without pyarrow or rosbags.
    """
    return export_with_refusals(bag, poses, at, rate_hz, start_s, end_s, tf_topics)[0]


def export_with_refusals(
    bag: str,
    poses: Sequence[tuple[str, str]],
    at: str | None,
    rate_hz: float | None,
    start_s: float | None,
    end_s: float | None,
    tf_topics: Sequence[str],
) -> tuple[pyarrow.Table, Refusals]:
    """export_bag's table, and the transforms the buffer refused while reading the bag (a
    quilm_tf.tools.bags.Refusals), for the command to report."""
    import numpy as np

    from quilm_tf.tools.bags import load_transforms
    from quilm_tf.tools.source import BagSource
    from quilm_tf.tools.tree import FrameTree

    if (at is None) == (rate_hz is None):
        raise ValueError("give exactly one of at (a topic) and rate_hz")
    pa = _pyarrow()
    requests = [(s.lstrip("/"), t.lstrip("/")) for s, t in poses]
    source = BagSource([bag], tuple(tf_topics), start_s, end_s)
    with source.open(_Discard()) as opened:
        tree, buffer = FrameTree(), TransformBuffer(_HISTORY_SECONDS)
        refused = load_transforms(opened, buffer, tree)
        span = (opened.reader.start_time, opened.reader.end_time)
        topic_stamps = None if at is None else np.asarray(_topic_stamps(opened, at), np.int64)
    parts = [schema().empty_table()]
    for pose in requests:
        if topic_stamps is not None:
            parts.append(_pose_table(buffer, str(bag), at or "", pose, topic_stamps))
            continue
        assert rate_hz is not None
        grid, why = _grid(tree, *pose, span, rate_hz)
        if grid is None:
            parts.append(_missing_pose(str(bag), pose, str(why)))
        else:
            parts.append(_pose_table(buffer, str(bag), "", pose, grid))
    return pa.concat_tables(parts), refused


class _Discard:
    """Where the reader's progress bars go: a library call prints nothing."""

    def write(self, text: str) -> None:
        pass

    def flush(self) -> None:
        pass

    def isatty(self) -> bool:
        return False
