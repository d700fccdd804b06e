"""The replay: transforms into a buffer and sensor messages into a filter, in arrival order, the
same for the built-in robot and for a bag; then the lookups asked along the way."""

from __future__ import annotations

import time
from collections.abc import Iterable, Sequence
from dataclasses import dataclass, field
from typing import Any

from quilm_tf import FilterFailureReason, MessageFilter, TransformBuffer, TransformError
from quilm_tf.tools.bags import Refusals, insert_payloads, names_of, raw_stamp_ns
from quilm_tf.tools.geometry import describe_pose
from quilm_tf.tools.messages import stamp_ns_of
from quilm_tf.tools.tree import FrameTree


@dataclass
class Query:
    label: str
    from_frame: str
    to_frame: str
    stamp_ns: int
    result: str = ""


@dataclass
class Serialized:
    """A tf message as a bag stores it, for the extension to decode."""

    raw: bytes
    ros1: bool


@dataclass
class FilterStats:
    received: int = 0
    delivered: int = 0
    dropped: dict[str, int] = field(default_factory=dict)
    waits_ns: list[int] = field(default_factory=list)
    sensor_positions: list[tuple[float, float, float]] = field(default_factory=list)
    callback_lookup_errors: list[str] = field(default_factory=list)
    # Messages the filter refused to queue (a stamp out of range, no header): text -> count.
    rejected: dict[str, int] = field(default_factory=dict)


# (arrival_ns, "tf", "tf_static" or a sensor's kind, the message, its topic). Messages are
# ROS-shaped objects read by attribute: the demo's own, or a bag's decoded ones.
Event = tuple[int, str, Any, str]


class Replay:
    """Feeds transforms into a buffer and sensor messages into a filter, in arrival order."""

    def __init__(
        self,
        history_seconds: float,
        target: str,
        queue_size: int,
        queries: Iterable[Query],
        query_delay_ns: int,
    ) -> None:
        self.buffer = TransformBuffer(history_seconds)
        self.target = target
        self.tree = FrameTree()
        self.now_ns = 0
        self.arrivals: dict[int, int] = {}
        self.stats = FilterStats()
        self.queries = sorted(queries, key=lambda q: q.stamp_ns)
        self.pending_queries = list(self.queries)
        self.query_delay_ns = query_delay_ns
        self.newest_ns = 0
        self.inserted = 0
        self.insert_seconds = 0.0
        self.callback_seconds = 0.0
        self.insert_errors = Refusals()
        self.filter = MessageFilter(self.buffer, target, queue_size, self.on_ready)
        self.filter.register_failure_callback(self.on_failure)

    def on_ready(self, message: Any) -> None:
        started = time.perf_counter()
        header = message.header
        self.stats.delivered += 1
        self.stats.waits_ns.append(self.now_ns - self.arrivals.pop(id(message)))
        try:
            # The filter only hands out messages whose transform exists, so this succeeds.
            m = self.buffer.lookup(header.frame_id, self.target, stamp_ns_of(header))
            self.stats.sensor_positions.append((m[0][3], m[1][3], m[2][3]))
        except TransformError as err:
            self.stats.callback_lookup_errors.append(str(err))
        self.callback_seconds += time.perf_counter() - started

    def on_failure(self, message: Any, reason: FilterFailureReason) -> None:
        self.arrivals.pop(id(message), None)
        self.stats.dropped[str(reason)] = self.stats.dropped.get(str(reason), 0) + 1

    def serialized(self, message: Serialized, is_static: bool, topic: str) -> None:
        callbacks_before = self.callback_seconds
        started = time.perf_counter()
        links, records = insert_payloads(
            self.buffer, [message.raw], is_static, message.ros1, self.insert_errors, [topic]
        )
        elapsed = time.perf_counter() - started
        self.insert_seconds += elapsed - (self.callback_seconds - callbacks_before)
        self.tree.add_records(links, records, is_static)
        stamps = memoryview(records).cast("q")[2::3]
        if stamps and not is_static:
            self.newest_ns = max(self.newest_ns, max(stamps))
        self.inserted += len(stamps)
        self._run_due_queries()

    def transforms(self, message: Any, is_static: bool, topic: str) -> None:
        if isinstance(message, Serialized):
            self.serialized(message, is_static, topic)
            return
        items = list(message.transforms)
        callbacks_before = self.callback_seconds
        started = time.perf_counter()
        try:
            self.buffer.insert_transform_message(message, is_static)
            failed: Exception | None = None
        except (TransformError, ValueError) as err:
            failed = err
        elapsed = time.perf_counter() - started
        self.insert_seconds += elapsed - (self.callback_seconds - callbacks_before)
        if failed is None:
            accepted = items
        else:
            # One bad transform stops the list; retry one by one so the good ones still count.
            accepted = []
            for item in items:
                try:
                    self.buffer.insert_transform_stamped(item, is_static)
                    accepted.append(item)
                except (TransformError, ValueError) as err:
                    text = f"{type(err).__name__}: {err}"
                    self.insert_errors.add(text, raw_stamp_ns(item), topic, names_of(item))
        for item in accepted:
            stamp = stamp_ns_of(item.header)
            self.tree.add(item.header.frame_id, item.child_frame_id, stamp, is_static)
            if not is_static:
                self.newest_ns = max(self.newest_ns, stamp)
        self.inserted += len(accepted)
        self._run_due_queries()

    def sensor(self, message: Any) -> None:
        self.stats.received += 1
        self.arrivals[id(message)] = self.now_ns
        try:
            self.filter.add(message)
        except (TransformError, ValueError, TypeError, AttributeError, OverflowError) as err:
            # One bad message (a stamp out of range) is counted; the rest of the bag replays.
            self.arrivals.pop(id(message), None)
            text = f"{type(err).__name__}: {err}"
            self.stats.rejected[text] = self.stats.rejected.get(text, 0) + 1

    def _run_due_queries(self) -> None:
        while self.pending_queries and (
            self.pending_queries[0].stamp_ns + self.query_delay_ns <= self.newest_ns
        ):
            self._run_query(self.pending_queries.pop(0))

    def _run_query(self, query: Query) -> None:
        try:
            m = self.buffer.lookup(query.from_frame, query.to_frame, query.stamp_ns)
            query.result = describe_pose(m)
        except TransformError as err:
            query.result = f"TransformError: {err}"

    def run(self, events: Iterable[Event]) -> None:
        for arrival_ns, kind, message, topic in events:
            self.now_ns = arrival_ns
            if kind == "tf":
                self.transforms(message, False, topic)
            elif kind == "tf_static":
                self.transforms(message, True, topic)
            else:
                self.sensor(message)
        for query in self.pending_queries:
            self._run_query(query)
        self.pending_queries = []

    def lookup_rate(
        self, from_frame: str, to_frame: str, stamps: Sequence[int], min_seconds: float = 0.2
    ) -> float | None:
        """Lookups per second at the stamps that can be transformed now, or None."""
        stamps = [s for s in stamps if self.buffer.can_transform(from_frame, to_frame, s)]
        if not stamps:
            return None
        lookup = self.buffer.lookup
        count, started = 0, time.perf_counter()
        while True:
            for stamp in stamps:
                lookup(from_frame, to_frame, stamp)
            count += len(stamps)
            elapsed = time.perf_counter() - started
            if elapsed >= min_seconds:
                return count / elapsed


def spread(begin_ns: int, end_ns: int, count: int) -> list[int]:
    """count stamps strictly inside (begin_ns, end_ns), off any regular sample grid."""
    step = (end_ns - begin_ns) / (count + 1)
    return [begin_ns + int(step * (i + 0.618)) for i in range(1, count + 1)]
