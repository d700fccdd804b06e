from collections.abc import Callable, Sequence
from typing import Any, ClassVar, Self, final

__all__ = [
    "TransformBuffer",
    "MessageFilter",
    "FilterFailureReason",
    "require_frame",
    "TransformError",
    "FrameError",
]

@final
class TransformBuffer:
    """Time-stamped transforms between named frames, kept for `history_seconds`.

    Frames form a forest: each child frame has one parent, linked by static transforms
    (valid at all times) or dynamic ones (stamped, kept for `history_seconds` behind the
    newest stamp of the link). Frame names lose their leading "/"; stamps are integer
    nanoseconds below 2**31 seconds. Safe to use from several threads.
    """

    def __new__(cls, history_seconds: float) -> Self:
        """Raises ValueError when `history_seconds` is NaN, infinite or negative."""
    def insert_transform(
        self,
        parent: str,
        child: str,
        matrix: Sequence[Sequence[float]],
        stamp_ns: int,
        is_static: bool = False,
    ) -> None:
        """Stores the 4x4 rigid `matrix` that maps `child` coordinates into `parent`.

        A static transform ignores `stamp_ns`; a dynamic one needs a non-zero stamp. Wakes
        the message filters of this buffer. Raises TransformError (bad frame names, a
        matrix that is not rigid, a second parent, a cycle, mixing static and dynamic) and
        ValueError (shape not 4x4, stamp beyond the ROS time range).
        """
    def insert_transform_stamped(self, message: Any, is_static: bool = False) -> None:
        """Stores a ROS `TransformStamped` (header.frame_id is the parent, child_frame_id
        the child); raises as `insert_transform` does, or on a malformed message."""
    def insert_transform_message(self, message: Any, is_static: bool = False) -> None:
        """Stores every transform of a ROS `TFMessage` in order. A malformed item stores
        nothing; a refused one keeps those before it and raises TransformError."""
    def lookup(self, from_frame: str, to_frame: str, stamp_ns: int) -> list[list[float]]:
        """The 4x4 matrix mapping `from_frame` coordinates into `to_frame` at `stamp_ns`,
        interpolated between stored samples. Raises TransformError saying why it cannot
        (unknown frame, no chain, time outside a link's history) and ValueError for a stamp
        beyond the ROS time range."""
    def can_transform(self, from_frame: str, to_frame: str, stamp_ns: int) -> bool:
        """True when `lookup` with the same arguments would succeed. Invalid names and
        stamps beyond the ROS time range give False; only wrong argument types raise."""
    def clear_dynamic(self) -> None:
        """Removes every dynamic link; static links stay. Does not wake filters."""

@final
class MessageFilter:
    """Queues stamped Python messages until quilm-tf can transform them."""

    def __new__(
        cls,
        buffer: TransformBuffer,
        target_frame: str,
        queue_size: int,
        callback: Callable[[Any], object] | None = None,
        tolerance_ns: int = 0,
    ) -> Self:
        """Waits on `buffer` for transforms into `target_frame`; `queue_size` 0 means
        unbounded; `tolerance_ns` also requires data that long after each stamp."""
    def add(self, message: Any) -> None:
        """Queues a message with `header.frame_id` and `header.stamp`; delivers it at once
        if its transform is there. A bad frame name goes to the failure callbacks."""
    def register_callback(self, callback: Callable[[Any], object]) -> None:
        """Adds a callable called with each ready message, in registration order."""
    def register_failure_callback(
        self, callback: Callable[[Any, FilterFailureReason], object]
    ) -> None:
        """Adds a callable called with (message, FilterFailureReason) for each drop."""
    def set_target_frame(self, target_frame: str) -> None:
        """Waits for this one target frame from now on; raises TransformError if invalid."""
    def set_target_frames(self, target_frames: Sequence[str]) -> None:
        """Waits for all of these target frames (at least one) from now on."""
    def set_tolerance_ns(self, tolerance_ns: int) -> None:
        """Sets the extra time, in nanoseconds, that must be covered after each stamp."""
    def set_queue_size(self, queue_size: int) -> None:
        """Sets the queue bound (0: unbounded), dropping the oldest messages beyond it."""
    def clear(self) -> None:
        """Discards every queued message without calling any callback."""
    @property
    def pending_count(self) -> int:
        """Number of queued messages."""
    @property
    def queue_size(self) -> int:
        """The queue bound; 0 means unbounded."""
    @property
    def tolerance_ns(self) -> int:
        """The look-ahead tolerance in nanoseconds."""
    @property
    def target_frames(self) -> list[str]:
        """The normalised target frame names, in order."""
    def dispatch(self) -> None:
        """Delivers the messages that became ready; needed only after `clear_dynamic` or
        other changes that do not wake filters."""

@final
class FilterFailureReason:
    """Why a message was discarded before its transform became available."""

    EMPTY_FRAME_ID: ClassVar[FilterFailureReason]
    """The message's header.frame_id was empty or only slashes."""
    INVALID_FRAME_ID: ClassVar[FilterFailureReason]
    """The message's header.frame_id was qualified (held a "/" after leading ones)."""
    QUEUE_FULL: ClassVar[FilterFailureReason]
    """The message was the oldest when the queue bound was exceeded."""
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __eq__(self, value: object, /) -> bool: ...
    def __ne__(self, value: object, /) -> bool: ...

def require_frame(actual: str, expected: str, interface: str) -> None:
    """Raises FrameError when `actual` differs from `expected`; `interface` names the
    consumer in the message."""

class TransformError(Exception):
    """A transform could not be stored or looked up; the message says exactly why."""

class FrameError(Exception):
    """Data came in a frame other than the one an interface requires."""

def _latest_common_time(buffer: TransformBuffer, frame_a: str, frame_b: str) -> int: ...
def _lookup_latest(
    buffer: TransformBuffer, from_frame: str, to_frame: str
) -> tuple[list[list[float]], int]: ...
def _frames(buffer: TransformBuffer) -> list[tuple[str, str, bool, int, int, int]]: ...
def _lookup_across_time(
    buffer: TransformBuffer,
    from_frame: str,
    from_stamp_ns: int,
    to_frame: str,
    to_stamp_ns: int,
    fixed_frame: str,
) -> list[list[float]]:
    """lookup(fixed_frame, to_frame, to_stamp_ns) @ lookup(from_frame, fixed_frame,
    from_stamp_ns), both under one read lock; quilm_tf.lookup_across_time documents it."""

def _transform_cloud(
    buffer: TransformBuffer,
    source_frame: str,
    target_frame: str,
    stamp_ns: int,
    fields: list[tuple[str, int, int, int]],
    height: int,
    width: int,
    point_step: int,
    row_step: int,
    is_bigendian: bool,
    data: Any,
    out: Any,
) -> None:
    """Writes `data` into `out` (a writable buffer of the same length) with each point's x,
    y, z moved by lookup(source_frame, target_frame, stamp_ns); `fields` holds (name,
    offset, datatype, count) per field. quilm_tf.transform_cloud documents the rules."""

def _deskew_cloud(
    buffer: TransformBuffer,
    source_frame: str,
    target_frame: str,
    fixed_frame: str,
    stamp_ns: int,
    fields: list[tuple[str, int, int, int]],
    height: int,
    width: int,
    point_step: int,
    row_step: int,
    is_bigendian: bool,
    data: Any,
    out: Any,
    time_field: str,
    absolute: bool,
    resolution_ns: int,
) -> None:
    """As _transform_cloud, each point moved by the across-time matrix at its own time
    (rounded to resolution_ns when above 0); quilm_tf.deskew_cloud documents the rules."""
def _escape_name(name: str | bytes) -> str: ...
