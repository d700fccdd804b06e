"""The tf topics of a running ROS 2 graph as a source of transforms, in place of a bag.

`LiveSource(tf_topics, duration_s).open(err)` joins the graph with a node of its own, listens
to the tf topics (each .../tf with its .../tf_static, with the QoS ROS 2 uses for them, so
that static transforms published before it joined arrive too) for duration_s seconds, and
yields a `LiveGraph` that reads like a `Bag`: `transform_messages()` gives (receive time,
topic, is_static, message) in the order received, the receive time being the system clock's.
"""

from __future__ import annotations

import contextlib
import os
import time
from collections.abc import Iterable, Iterator
from dataclasses import dataclass
from types import ModuleType
from typing import Any

from quilm_tf.tools.bags import BagError, Stream, is_static_topic
from quilm_tf.tools.source import DEFAULT_TF_TOPICS

DEFAULT_DURATION_S = 5.0


def subscribed_topics(tf_topics: Iterable[str]) -> list[str]:
    """Each topic asked for, and the .../tf_static sibling of each .../tf."""
    topics = []
    for topic in tf_topics:
        name = "/" + topic.strip("/")
        topics.append(name)
        if name == "/tf" or name.endswith("/tf"):
            topics.append(name + "_static")
    return list(dict.fromkeys(topics))


@dataclass
class LiveSource:
    """The running graph's tf topics, listened to for duration_s seconds."""

    tf_topics: tuple[str, ...] = DEFAULT_TF_TOPICS
    duration_s: float = DEFAULT_DURATION_S

    @contextlib.contextmanager
    def open(self, err: Stream) -> Iterator[LiveGraph]:
        try:
            from quilm_tf.ros import _ros, dynamic_qos, static_qos

            _, _, tf_message = _ros()
            import rclpy.context
            import rclpy.executors
        except ImportError:
            from quilm_tf.ros import INSTALL_HINT

            raise BagError(f"--live needs ROS 2: {INSTALL_HINT}") from None
        context = rclpy.context.Context()
        rclpy.init(args=[], context=context)
        try:
            node = rclpy.create_node(f"quilm_tf_cli_{os.getpid()}", context=context)
            graph = LiveGraph(self.tf_topics, self.duration_s)
            for topic in subscribed_topics(self.tf_topics):
                static = is_static_topic(topic)
                node.create_subscription(
                    tf_message,
                    topic,
                    lambda message, topic=topic, static=static: graph.receive(
                        time.time_ns(), topic, static, message
                    ),
                    static_qos(100) if static else dynamic_qos(),
                )
            graph.listen(rclpy, node, context, err)
            node.destroy_node()
            yield graph
        finally:
            context.try_shutdown()


class LiveGraph:
    """What the tf topics carried while the command listened."""

    def __init__(self, tf_topics: Iterable[str], duration_s: float) -> None:
        self.tf_topics = tuple(tf_topics)
        self.duration_s = duration_s
        self.path = "the live ROS 2 graph"
        # (receive time, topic, is_static, tf message as rclpy delivered it)
        self.received: list[tuple[int, str, bool, Any]] = []
        # What a bag counts of other types on its tf topics: a live subscription is typed.
        self.skipped: dict[str, int] = {}

    def receive(self, receive_ns: int, topic: str, is_static: bool, message: Any) -> None:
        self.received.append((receive_ns, topic, is_static, message))

    def listen(self, rclpy: ModuleType, node: Any, context: Any, err: Stream) -> None:
        executor = rclpy.executors.SingleThreadedExecutor(context=context)
        executor.add_node(node)
        if err.isatty():
            err.write(f"listening to {', '.join(subscribed_topics(self.tf_topics))} ")
            err.write(f"for {self.duration_s:g} s\n")
        deadline = time.monotonic() + self.duration_s
        try:
            while (left := deadline - time.monotonic()) > 0:
                executor.spin_once(timeout_sec=min(left, 0.1))
        finally:
            executor.shutdown()
        self.started_ns = self.received[0][0] if self.received else 0
        self.ended_ns = self.received[-1][0] if self.received else 0

    def title(self) -> str:
        return (
            f"{self.path} ({len(self.received):,} messages over {self.duration_s:.1f} s "
            f"on {', '.join(subscribed_topics(self.tf_topics))})"
        )

    def span(self) -> tuple[int, int]:
        """The first and last receive times, in ns."""
        return self.started_ns, self.ended_ns

    def transform_messages(self, label: str = "listening") -> Iterator[tuple[int, str, bool, Any]]:
        if not self.received:
            topics = " or ".join(subscribed_topics(self.tf_topics))
            raise BagError(f"no tf messages arrived on {topics} in {self.duration_s:g} s")
        yield from self.received
