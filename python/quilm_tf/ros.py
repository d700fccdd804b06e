"""A buffer fed by a live ROS 2 graph, transforms sent into it, and waiting inside an executor.

rclpy and the message packages are imported when first used, never by ``import quilm_tf``.
Everything follows rclpy's habits: the node is the caller's, the caller spins it, futures are
``rclpy.task.Future`` objects, and nothing raised by a received message escapes into the
executor. The QoS profiles are the ones ROS 2 uses for the tf topics: ``/tf`` keeps the last
100 messages, reliable and volatile; ``/tf_static`` is reliable and transient local, so a node
that joins late still receives every static transform, and each static broadcaster publishes
all the static transforms it was ever given as one latched message.
"""

from __future__ import annotations

import re
import threading
from collections.abc import Iterable
from typing import TYPE_CHECKING, Any

from quilm_tf._native import TransformBuffer
from quilm_tf.stamps import NS_PER_SECOND
from quilm_tf.waiting import _timeout, _watch

if TYPE_CHECKING:
    from rclpy.executors import Executor
    from rclpy.node import Node
    from rclpy.task import Future

__all__ = [
    "TransformListener",
    "TransformBroadcaster",
    "StaticTransformBroadcaster",
    "wait_for_transform_future",
]

INSTALL_HINT = (
    "quilm_tf.ros needs ROS 2's Python client library (rclpy) with the geometry_msgs and "
    "tf2_msgs message packages: source a ROS 2 installation, or pip install the ROS 2 wheels "
    "(ros-rclpy, ros-geometry-msgs, ros-rmw-fastrtps-cpp) and build tf2_msgs"
)
DYNAMIC_DEPTH = 100
# Refusals remembered for logging once each; past this, new ones are no longer logged, so
# that a stream of ever new bad names cannot grow the listener without bound.
MAX_LOGGED_REFUSALS = 10_000


def _ros() -> Any:
    """The rclpy and message modules, or an ImportError that says what to install."""
    try:
        import rclpy.qos
        import rclpy.task
        from geometry_msgs.msg import TransformStamped
        from tf2_msgs.msg import TFMessage
    except ImportError as error:
        raise ImportError(f"{INSTALL_HINT} ({error})") from error
    return rclpy, TransformStamped, TFMessage


def dynamic_qos() -> Any:
    """The QoS of /tf: reliable, volatile, the last 100 messages."""
    rclpy, _, _ = _ros()
    qos = rclpy.qos
    return qos.QoSProfile(
        depth=DYNAMIC_DEPTH,
        history=qos.HistoryPolicy.KEEP_LAST,
        reliability=qos.ReliabilityPolicy.RELIABLE,
        durability=qos.DurabilityPolicy.VOLATILE,
    )


def static_qos(depth: int = 1) -> Any:
    """The QoS of /tf_static: reliable and transient local, so late joiners receive it.

    A broadcaster keeps one message (all its static transforms); a listener keeps more, for
    the latched messages of several broadcasters arriving at once."""
    rclpy, _, _ = _ros()
    qos = rclpy.qos
    return qos.QoSProfile(
        depth=depth,
        history=qos.HistoryPolicy.KEEP_LAST,
        reliability=qos.ReliabilityPolicy.RELIABLE,
        durability=qos.DurabilityPolicy.TRANSIENT_LOCAL,
    )


# Numbers in a refusal's text (stamps, distances) vary from message to message; the reason
# without them says whether it was already logged.
_NUMBER = re.compile(r"[-+]?\d+(?:\.\d+)?(?:e[-+]?\d+)?")


class TransformListener:
    """Fills ``buffer`` from the tf topics of ``node``'s graph while the node is spun.

    Every transform of a received message is inserted on its own, so one refused transform
    (a cycle, a second parent, a stamp out of range, a malformed message) costs only itself.
    A refusal is logged as a warning through ``node.get_logger()`` the first time it happens
    for that link and reason, and never raised into the executor. The filters waiting on the
    buffer are woken by the inserts, inside the executor's thread. For a namespaced robot pass
    ``tf_topic="/robot1/tf", static_topic="/robot1/tf_static"``. Call ``destroy()`` to stop
    listening.
    """

    def __init__(
        self,
        buffer: TransformBuffer,
        node: Node,
        *,
        tf_topic: str = "/tf",
        static_topic: str = "/tf_static",
    ) -> None:
        _, _, tf_message = _ros()
        if not isinstance(buffer, TransformBuffer):
            raise TypeError(f"buffer must be a TransformBuffer, not {type(buffer).__name__!r}")
        self.buffer = buffer
        self.node: Node | None = node
        self.received = 0
        self.refused = 0
        self._logged: set[tuple[str, str, str]] = set()
        self._subscriptions = [
            node.create_subscription(
                tf_message, tf_topic, lambda m: self._receive(m, False), dynamic_qos()
            ),
            node.create_subscription(
                tf_message, static_topic, lambda m: self._receive(m, True), static_qos(100)
            ),
        ]

    def _receive(self, message: Any, is_static: bool) -> None:
        # Runs inside the executor: whatever goes wrong is logged, never raised.
        try:
            items = list(message.transforms)
        except Exception as error:  # a message of the wrong shape
            self._refuse("?", "?", error)
            return
        for item in items:
            try:
                self.buffer.insert_transform_stamped(item, is_static)
                self.received += 1
            except Exception as error:
                self._refuse(_frame_of(item, True), _frame_of(item, False), error)

    def _refuse(self, parent: str, child: str, error: Exception) -> None:
        self.refused += 1
        reason = f"{type(error).__name__}: {error}"
        key = (parent, child, _NUMBER.sub("#", reason))
        if key in self._logged or len(self._logged) >= MAX_LOGGED_REFUSALS:
            return
        self._logged.add(key)
        if self.node is not None:
            self.node.get_logger().warning(
                f"transform {parent!r} -> {child!r} not inserted: {reason} "
                "(logged once for this link and reason)"
            )

    def destroy(self) -> None:
        """Unsubscribes from both topics; further calls do nothing."""
        node, self.node = self.node, None
        if node is not None:
            for subscription in self._subscriptions:
                node.destroy_subscription(subscription)
        self._subscriptions = []


def _frame_of(item: Any, parent: bool) -> str:
    try:
        name = item.header.frame_id if parent else item.child_frame_id
    except Exception:
        return "?"
    return name if isinstance(name, str) else "?"


def _time_msg(stamp_ns: int) -> Any:
    from builtin_interfaces.msg import Time

    sec, nanosec = divmod(stamp_ns, NS_PER_SECOND)
    return Time(sec=sec, nanosec=nanosec)


def transform_stamped(parent: str, child: str, matrix: Any, stamp_ns: int) -> Any:
    """A geometry_msgs TransformStamped of the 4x4 matrix (child into parent) at stamp_ns.

    The matrix must be rigid: it is checked as ``TransformBuffer.insert_transform`` checks it
    (TransformError, ValueError for a shape other than 4x4)."""
    from quilm_tf.tools.geometry import quaternion_of

    _, message_type, _ = _ros()
    # The buffer's own checks: rigid, finite, 4x4, a stamp in the ROS time range.
    TransformBuffer(0.0).insert_transform(parent, child, matrix, stamp_ns, True)
    rows = [[float(value) for value in row] for row in matrix]
    message = message_type()
    message.header.frame_id = parent
    message.header.stamp = _time_msg(stamp_ns)
    message.child_frame_id = child
    translation = message.transform.translation
    translation.x, translation.y, translation.z = rows[0][3], rows[1][3], rows[2][3]
    rotation = message.transform.rotation
    rotation.x, rotation.y, rotation.z, rotation.w = quaternion_of(rows)
    return message


def _messages(transforms: Any) -> list[Any]:
    """TransformStamped messages from one, a list of them, or (parent, child, matrix, stamp_ns)."""
    if isinstance(transforms, tuple) and len(transforms) == 4 and isinstance(transforms[0], str):
        return [transform_stamped(*transforms)]
    if hasattr(transforms, "child_frame_id"):
        return [transforms]
    if isinstance(transforms, Iterable) and not isinstance(transforms, str | bytes):
        items = list(transforms)
        if all(hasattr(item, "child_frame_id") for item in items):
            return items
    raise TypeError(
        "send_transform() takes a TransformStamped, a list of them, or a tuple "
        f"(parent, child, matrix, stamp_ns), not {type(transforms).__name__!r}"
    )


class TransformBroadcaster:
    """Publishes transforms on ``topic`` (default /tf) of ``node``, with the /tf QoS."""

    def __init__(self, node: Node, *, topic: str = "/tf") -> None:
        _, _, tf_message = _ros()
        self._message_type = tf_message
        self.publisher = node.create_publisher(tf_message, topic, dynamic_qos())

    def send_transform(self, transforms: Any) -> None:
        """Publishes a TransformStamped, a list of them, or (parent, child, matrix, stamp_ns)
        with a 4x4 matrix mapping child coordinates into parent and a stamp in integer ns."""
        self.publisher.publish(self._message_type(transforms=_messages(transforms)))


class StaticTransformBroadcaster:
    """Publishes static transforms on ``topic`` (default /tf_static), latched for late joiners.

    Every call publishes all the static transforms sent so far, the last one per child frame,
    as one message: the one a node joining later receives."""

    def __init__(self, node: Node, *, topic: str = "/tf_static") -> None:
        _, _, tf_message = _ros()
        self._message_type = tf_message
        self.publisher = node.create_publisher(tf_message, topic, static_qos())
        self._by_child: dict[str, Any] = {}

    def send_transform(self, transforms: Any) -> None:
        """Adds a TransformStamped, a list of them, or (parent, child, matrix, stamp_ns), and
        publishes every static transform held."""
        for message in _messages(transforms):
            self._by_child[message.child_frame_id] = message
        self.publisher.publish(self._message_type(transforms=list(self._by_child.values())))


def wait_for_transform_future(
    buffer: TransformBuffer,
    from_frame: str,
    to_frame: str,
    stamp_ns: int,
    timeout_s: float,
    *,
    executor: Executor | None = None,
) -> Future:
    """An rclpy Future that resolves to True once the transform is available, False at timeout.

    It resolves to True at once if ``buffer.can_transform(from_frame, to_frame, stamp_ns)``
    already holds, else as soon as an insert into the buffer makes it hold (from a
    TransformListener spun by the same executor, or from any thread), and to False when
    ``timeout_s`` seconds have passed (``math.inf``: never). It never blocks: a coroutine
    callback can ``await`` it on a single-threaded executor while the transforms arrive on
    that executor, and ``executor.spin_until_future_complete(future)`` works with it. Nothing
    polls: the buffer wakes the waiter on insert, and a timer thread ends the wait. With
    ``executor``, the future's done callbacks run as tasks of that executor instead of in the
    thread that resolved it. Cancelling the future stops the wait.

    Raises, before any future exists, as ``quilm_tf.wait_for_transform`` does: TransformError
    for an invalid frame name, ValueError for a stamp beyond the ROS time range or a negative
    or NaN timeout, TypeError or OverflowError for arguments of the wrong kind.
    """
    rclpy, _, _ = _ros()
    timeout = _timeout(timeout_s)
    future: Future = rclpy.task.Future(executor=executor)
    waiting = _Waiting(future)
    waiter = _watch(buffer, from_frame, to_frame, stamp_ns, lambda: waiting.resolve(True))
    if waiter is None:
        future.set_result(True)
        return future
    waiting.waiter = waiter
    if timeout is not None:
        waiting.timer = threading.Timer(timeout, waiting.resolve, (False,))
        waiting.timer.daemon = True
        waiting.timer.start()
    # The future holds the waiter until it is done; a cancelled one lets it go too.
    future.add_done_callback(lambda _future: waiting.release())
    return future


class _Waiting:
    """The state of one wait: the first of the wake-up and the timer resolves the future."""

    def __init__(self, future: Future) -> None:
        self.future: Future | None = future
        self.waiter: Any = None
        self.timer: threading.Timer | None = None
        self.lock = threading.Lock()

    def resolve(self, available: bool) -> None:
        # The wake-up runs in the inserting thread, the timeout in the timer's: whichever comes
        # first sets the result, once. Future.set_result takes the future's own lock.
        with self.lock:
            future, self.future = self.future, None
        if future is not None and not future.cancelled():
            future.set_result(available)
        self.release()

    def release(self) -> None:
        with self.lock:
            timer, self.timer = self.timer, None
            self.waiter = None
            if self.future is not None and (self.future.done() or self.future.cancelled()):
                self.future = None
        if timer is not None and timer is not threading.current_thread():
            timer.cancel()
