"""A first run of quilm-tf: replay a robot's transforms and sensor messages and report.

    python -m quilm_tf.demo                      a simulated mobile robot arm, built in
    python -m quilm_tf.demo --bag PATH           a recorded rosbag2 or ROS 1 bag (needs rosbags)
        [--target FRAME] [--topic TOPIC] [--queue-size N]

Both runs feed /tf and /tf_static into a TransformBuffer and the sensor messages into a
MessageFilter, in arrival order, as a live robot would; then print the frame tree, a few
lookups, what the filter delivered and dropped, and the throughput measured in this run.
The built-in robot uses plain Python objects shaped like ROS 2 messages and needs nothing
beyond this package.
"""

from __future__ import annotations

import argparse
import math
import os
import statistics
import sys
import textwrap
import time
from dataclasses import dataclass, field
from pathlib import Path

from quilm_tf import MessageFilter, TransformBuffer, TransformError

NS_PER_SECOND = 1_000_000_000


# Objects shaped like ROS 2 messages: the library reads them by attribute, so any class
# with these fields works, generated message classes included.


@dataclass(slots=True)
class Time:
    sec: int
    nanosec: int


@dataclass(slots=True)
class Header:
    stamp: Time
    frame_id: str


@dataclass(slots=True)
class Vector3:
    x: float
    y: float
    z: float


@dataclass(slots=True)
class Quaternion:
    x: float
    y: float
    z: float
    w: float


@dataclass(slots=True)
class Transform:
    translation: Vector3
    rotation: Quaternion


@dataclass(slots=True)
class TransformStamped:
    header: Header
    child_frame_id: str
    transform: Transform


@dataclass(slots=True)
class TFMessage:
    transforms: list[TransformStamped]


@dataclass(slots=True)
class LaserScan:
    header: Header
    angle_min: float
    angle_max: float
    angle_increment: float
    time_increment: float
    scan_time: float
    range_min: float
    range_max: float
    ranges: list[float]
    intensities: list[float]


def ros_time(stamp_ns: int) -> Time:
    return Time(stamp_ns // NS_PER_SECOND, stamp_ns % NS_PER_SECOND)


def stamp_ns_of(header) -> int:
    return header.stamp.sec * NS_PER_SECOND + header.stamp.nanosec


# The simulated robot: a base driving a circle while a three-joint arm waves.

SIM_START_NS = 1_700_000_000 * NS_PER_SECOND
SIM_SECONDS = 3
SIM_TICK_NS = NS_PER_SECOND // 100
SCAN_PERIOD_NS = NS_PER_SECOND // 20
SIM_QUEUE_SIZE = 5
DRIVE_RADIUS_M = 2.0
DRIVE_RATE = 0.25  # rad/s around the circle, 0.5 m/s


def about_z(angle):
    return (0.0, 0.0, math.sin(angle / 2), math.cos(angle / 2))


def about_y(angle):
    return (0.0, math.sin(angle / 2), 0.0, math.cos(angle / 2))


IDENTITY_QUAT = (0.0, 0.0, 0.0, 1.0)


def _map_odom(t):
    # Localisation slowly corrects the odometry's drift.
    return (0.02 * t, -0.01 * t, 0.0), about_z(math.radians(0.5) * t)


def _odom_base_link(t):
    a = DRIVE_RATE * t
    return (DRIVE_RADIUS_M * math.sin(a), DRIVE_RADIUS_M * (1 - math.cos(a)), 0.0), about_z(a)


def _torso_shoulder(t):
    return (0.0, 0.0, 0.3), about_z(0.8 * math.sin(1.5 * t))


def _shoulder_elbow(t):
    return (0.35, 0.0, 0.0), about_y(-0.6 + 0.4 * math.sin(2 * t))


def _elbow_wrist(t):
    return (0.3, 0.0, 0.0), about_y(0.9 + 0.3 * math.cos(2 * t))


def _fixed(translation, rotation=IDENTITY_QUAT):
    return lambda t: (translation, rotation)


# (parent, child, rate in Hz or 0 for static, pose at t seconds after the start as
# ((x, y, z), (qx, qy, qz, qw))). Rates divide 100 Hz.
ROBOT_LINKS = (
    ("map", "odom", 10, _map_odom),
    ("odom", "base_link", 100, _odom_base_link),
    ("base_link", "torso", 0, _fixed((0.1, 0.0, 0.4))),
    ("torso", "shoulder", 100, _torso_shoulder),
    ("shoulder", "elbow", 100, _shoulder_elbow),
    ("elbow", "wrist", 100, _elbow_wrist),
    ("wrist", "gripper", 0, _fixed((0.12, 0.0, 0.0))),
    ("base_link", "laser", 0, _fixed((0.25, 0.0, 0.2))),
    ("base_link", "camera", 0, _fixed((0.2, 0.0, 0.6), about_y(math.radians(15)))),
)


def transform_stamped(parent, child, stamp_ns, pose) -> TransformStamped:
    (x, y, z), (qx, qy, qz, qw) = pose
    return TransformStamped(
        Header(ros_time(stamp_ns), parent),
        child,
        Transform(Vector3(x, y, z), Quaternion(qx, qy, qz, qw)),
    )


def laser_scan(frame_id, stamp_ns) -> LaserScan:
    beams = 360
    return LaserScan(
        Header(ros_time(stamp_ns), frame_id),
        angle_min=-math.pi,
        angle_max=math.pi,
        angle_increment=2 * math.pi / beams,
        time_increment=0.0,
        scan_time=SCAN_PERIOD_NS / NS_PER_SECOND,
        range_min=0.1,
        range_max=30.0,
        ranges=[4.0 + math.sin(i / 9) for i in range(beams)],
        intensities=[],
    )


def simulated_robot():
    """(arrival_ns, topic, message) in arrival order, and the notes that explain them."""
    ms = NS_PER_SECOND // 1000
    events = []
    static = [
        transform_stamped(parent, child, SIM_START_NS, pose(0.0))
        for parent, child, rate, pose in ROBOT_LINKS
        if rate == 0
    ]
    events.append((SIM_START_NS, "/tf_static", TFMessage(static)))
    for k in range(SIM_SECONDS * 100 + 1):
        stamp = SIM_START_NS + k * SIM_TICK_NS
        t = k * SIM_TICK_NS / NS_PER_SECOND
        joints = [
            transform_stamped(parent, child, stamp, pose(t))
            for parent, child, rate, pose in ROBOT_LINKS
            if rate == 100
        ]
        events.append((stamp + 1 * ms, "/tf", TFMessage(joints)))
        # Localisation runs at 10 Hz and publishes a few milliseconds later.
        for parent, child, rate, pose in ROBOT_LINKS:
            if rate == 10 and k % 10 == 0:
                message = TFMessage([transform_stamped(parent, child, stamp, pose(t))])
                events.append((stamp + 4 * ms, "/tf", message))
    # Scans are stamped between transform samples and arrive 2 ms after their stamp.
    scans = SIM_SECONDS * 20
    for j in range(scans):
        stamp = SIM_START_NS + 3 * ms + j * SCAN_PERIOD_NS
        frame, stamped = "laser", stamp
        if j == 12:
            stamped = stamp - NS_PER_SECOND
        elif j == 20:
            frame = ""
        elif j == 30:
            frame = "robot2/laser"
        events.append((stamp + 2 * ms, "/scan", laser_scan(frame, stamped)))
    last = SIM_START_NS + SIM_SECONDS * NS_PER_SECOND
    events.append((last - 40 * ms, "/scan", laser_scan("laser", last + NS_PER_SECOND // 2)))
    events.sort(key=lambda event: event[0])
    notes = [
        "Scans wait for the first transforms stamped after them (map -> odom comes at 10 Hz).",
        "Four are faulty on purpose: one stamped 1 s before it arrives (before the first",
        "transform: it holds the scans behind it until the queue bound pushes it out), one with",
        "an empty frame_id, one from the namespaced frame robot2/laser, one stamped 0.5 s after",
        "the last transform.",
    ]
    return events, notes


# Geometry for the report, on nested-list matrices.


def rpy_degrees(m):
    """Roll, pitch, yaw (rotations about x, then y, then z of the parent) in degrees."""
    pitch = math.asin(max(-1.0, min(1.0, -m[2][0])))
    roll = math.atan2(m[2][1], m[2][2])
    yaw = math.atan2(m[1][0], m[0][0])
    return tuple(math.degrees(a) for a in (roll, pitch, yaw))


def fixed(value, width, digits):
    # Rounded first, so that -0.0001 prints as 0.000 rather than -0.000.
    return f"{round(value, digits) + 0.0:{width}.{digits}f}"


def describe_pose(m):
    xyz = ", ".join(fixed(m[row][3], 7, 3) for row in range(3))
    rpy = ", ".join(fixed(angle, 6, 1) for angle in rpy_degrees(m))
    return f"xyz ({xyz}) m   rpy ({rpy}) deg"


# The frame tree as seen in the transforms, for drawing and for choosing defaults.


@dataclass
class Link:
    parent: str
    is_static: bool
    samples: int = 0
    first_ns: int = 0
    last_ns: int = 0


class FrameTree:
    """Links by child frame, in the order first seen; names as the buffer stores them."""

    def __init__(self):
        self.links: dict[str, Link] = {}

    def add(self, parent, child, stamp_ns, is_static):
        parent, child = parent.lstrip("/"), child.lstrip("/")
        link = self.links.get(child)
        if link is None:
            link = self.links[child] = Link(parent, is_static, 0, stamp_ns, stamp_ns)
        link.samples += 1
        link.first_ns = min(link.first_ns, stamp_ns)
        link.last_ns = max(link.last_ns, stamp_ns)

    def frames(self):
        seen = {}
        for child, link in self.links.items():
            seen.setdefault(link.parent, None)
            seen.setdefault(child, None)
        return list(seen)

    def roots(self):
        return [frame for frame in self.frames() if frame not in self.links]

    def children(self, frame):
        return [child for child, link in self.links.items() if link.parent == frame]

    def path_to_root(self, frame):
        path = [frame]
        while path[-1] in self.links and len(path) <= len(self.links):
            path.append(self.links[path[-1]].parent)
        return path

    def root_of(self, frame):
        return self.path_to_root(frame)[-1]

    def chain_length(self, a, b):
        """Links between two frames of one tree."""
        up_a, up_b = self.path_to_root(a), self.path_to_root(b)
        on_b = set(up_b)
        common = next((f for f in up_a if f in on_b), None)
        if common is None:
            return None
        return up_a.index(common) + up_b.index(common)

    def deepest(self, root):
        best, best_depth = root, 0
        for frame in self.frames():
            path = self.path_to_root(frame)
            if path[-1] == root and len(path) - 1 > best_depth:
                best, best_depth = frame, len(path) - 1
        return best

    def dynamic_range(self, frames):
        """Stamps covered by every dynamic link among frames' links, or None."""
        links = [self.links[f] for f in frames if f in self.links and not self.links[f].is_static]
        if not links:
            return None
        return max(link.first_ns for link in links), min(link.last_ns for link in links)

    def render(self, plain):
        branch, last, pipe, blank = ("|-- ", "`-- ", "|   ", "    ") if plain else (
            "├── ", "└── ", "│   ", "    ")
        rows = []

        def walk(frame, prefix, marker):
            rows.append((prefix + marker + frame, self.links.get(frame)))
            kids = self.children(frame)
            for i, kid in enumerate(kids):
                tail = i == len(kids) - 1
                deeper = prefix + ("" if not marker else (blank if marker == last else pipe))
                walk(kid, deeper, last if tail else branch)

        for root in self.roots():
            walk(root, "", "")
        width = max(len(name) for name, _ in rows) + 2
        lines = []
        for name, link in rows:
            if link is None:
                lines.append(name)
            elif link.is_static:
                lines.append(f"{name:<{width}}static")
            else:
                span = (link.last_ns - link.first_ns) / NS_PER_SECOND
                rate = (link.samples - 1) / span if span > 0 else None
                if rate is None:
                    rate_text = " " * 8
                else:
                    rate_text = f"{rate:5.0f} Hz" if rate >= 10 else f"{rate:5.1f} Hz"
                plural = "s" if link.samples != 1 else ""
                lines.append(f"{name:<{width}}dynamic {rate_text} {link.samples:7d} sample{plural}")
        return lines


def box_drawing_ok(stream):
    try:
        "├└│─".encode(stream.encoding or "ascii")
    except (LookupError, UnicodeEncodeError):
        return False
    return True


class Progress:
    """A progress bar on stderr: redrawn in place on a terminal, one line per tenth elsewhere."""

    def __init__(self, label, total, stream, enabled):
        self.label, self.total, self.stream = label, max(total, 1), stream
        self.enabled = enabled
        self.tty = stream.isatty()
        self.done = 0
        self.next_draw = 0.0
        self.next_tenth = 1

    def step(self):
        self.done += 1
        if not self.enabled:
            return
        if self.tty:
            now = time.monotonic()
            if now >= self.next_draw:
                self.next_draw = now + 0.1
                self._draw("\r")
        elif self.done * 10 >= self.next_tenth * self.total:
            self.next_tenth += 1
            self._draw("", "\n")

    def _draw(self, start, end=""):
        share = min(self.done / self.total, 1.0)
        bar = "#" * int(share * 30)
        self.stream.write(
            f"{start}{self.label} [{bar:<30}] {share:4.0%} {self.done:,}/{self.total:,}{end}")
        self.stream.flush()

    def finish(self):
        if self.enabled and self.tty:
            self._draw("\r", "\n")


# The replay: the same for the built-in robot and for a bag.


@dataclass
class Query:
    label: str
    from_frame: str
    to_frame: str
    stamp_ns: int
    result: str = ""


@dataclass
class FilterStats:
    received: int = 0
    delivered: int = 0
    dropped: dict[str, int] = field(default_factory=dict)
    waits_ns: list[int] = field(default_factory=list)
    sensor_positions: list[tuple[float, float, float]] = field(default_factory=list)
    callback_lookup_errors: list[str] = field(default_factory=list)


class Replay:
    """Feeds transforms into a buffer and sensor messages into a filter, in arrival order."""

    def __init__(self, history_seconds, target, queue_size, queries, query_delay_ns):
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
        self.insert_errors: dict[str, int] = {}
        self.filter = MessageFilter(self.buffer, target, queue_size, self.on_ready)
        self.filter.register_failure_callback(self.on_failure)

    def on_ready(self, message):
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

    def on_failure(self, message, reason):
        self.arrivals.pop(id(message), None)
        self.stats.dropped[str(reason)] = self.stats.dropped.get(str(reason), 0) + 1

    def transforms(self, message, is_static):
        items = list(message.transforms)
        callbacks_before = self.callback_seconds
        started = time.perf_counter()
        try:
            self.buffer.insert_transform_message(message, is_static)
            failed = None
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
                    self.insert_errors[text] = self.insert_errors.get(text, 0) + 1
        for item in accepted:
            stamp = stamp_ns_of(item.header)
            self.tree.add(item.header.frame_id, item.child_frame_id, stamp, is_static)
            if not is_static:
                self.newest_ns = max(self.newest_ns, stamp)
        self.inserted += len(accepted)
        self._run_due_queries()

    def sensor(self, message):
        self.stats.received += 1
        self.arrivals[id(message)] = self.now_ns
        self.filter.add(message)

    def _run_due_queries(self):
        while self.pending_queries and (
            self.pending_queries[0].stamp_ns + self.query_delay_ns <= self.newest_ns
        ):
            self._run_query(self.pending_queries.pop(0))

    def _run_query(self, query):
        try:
            m = self.buffer.lookup(query.from_frame, query.to_frame, query.stamp_ns)
            query.result = describe_pose(m)
        except TransformError as err:
            query.result = f"TransformError: {err}"

    def run(self, events):
        for arrival_ns, kind, message in events:
            self.now_ns = arrival_ns
            if kind == "tf":
                self.transforms(message, False)
            elif kind == "tf_static":
                self.transforms(message, True)
            else:
                self.sensor(message)
        for query in self.pending_queries:
            self._run_query(query)
        self.pending_queries = []

    def lookup_rate(self, from_frame, to_frame, stamps, min_seconds=0.2):
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


def spread(begin_ns, end_ns, count):
    """count stamps strictly inside (begin_ns, end_ns), off any regular sample grid."""
    step = (end_ns - begin_ns) / (count + 1)
    return [begin_ns + int(step * (i + 0.618)) for i in range(1, count + 1)]


def wrapped(text, first_indent, indent):
    # Error texts are long: wrapped within 100 columns, never inside a word or a name.
    return textwrap.fill(text, 100, initial_indent=" " * first_indent,
                         subsequent_indent=" " * indent, break_long_words=False,
                         break_on_hyphens=False) + "\n"


def print_report(out, title, notes, replay, origin_ns, sensor_label, queue_size, speed_frames):
    plain = not box_drawing_ok(out)
    tree = replay.tree
    out.write(f"quilm-tf demo: {title}\n")
    for note in notes:
        out.write(f"  {note}\n")

    frames = tree.frames()
    out.write(f"\nFrame tree ({len(tree.links)} links between {len(frames)} frames)\n")
    for line in tree.render(plain) or ["(no transforms)"]:
        out.write(f"  {line}\n")
    if replay.insert_errors:
        total = sum(replay.insert_errors.values())
        out.write(f"  {total} transforms refused, for example:\n")
        for text in list(replay.insert_errors)[:3]:
            out.write(wrapped(text, 4, 6))

    out.write(f"\nLookups (t is seconds after {origin_ns / NS_PER_SECOND:.3f})\n")
    width = max((len(q.label) for q in replay.queries), default=0)
    for q in replay.queries:
        t = (q.stamp_ns - origin_ns) / NS_PER_SECOND
        head = f"  {q.label:<{width}} at t={t:6.3f} s  "
        if q.result.startswith("TransformError"):
            out.write(head + "TransformError:\n")
            out.write(wrapped(q.result.removeprefix("TransformError: "), 6, 6))
        else:
            out.write(head + q.result + "\n")

    stats = replay.stats
    out.write(f"\nMessage filter: {sensor_label}, target frame {replay.target}, "
              f"queue bound {queue_size}\n")
    out.write(f"  received     {stats.received:6d}\n")
    line = f"  delivered    {stats.delivered:6d}"
    if stats.waits_ns:
        median = statistics.median(stats.waits_ns) / 1e6
        worst = max(stats.waits_ns) / 1e6
        line += f"   waited for their transforms: median {median:.0f} ms, max {worst:.0f} ms"
    out.write(line + "\n")
    dropped = sum(stats.dropped.values())
    reasons = ", ".join(f"{reason} {n}" for reason, n in sorted(stats.dropped.items()))
    out.write(f"  dropped      {dropped:6d}" + (f"   {reasons}" if reasons else "") + "\n")
    pending = replay.filter.pending_count
    why = ""
    if pending == 1:
        why = "   (no transform at its stamp yet)"
    elif pending > 1:
        why = "   (the oldest has no transform at its stamp yet; the others wait behind it)"
    out.write(f"  still queued {pending:6d}{why}\n")
    if len(stats.sensor_positions) >= 2:
        positions = stats.sensor_positions
        travelled = sum(math.dist(a, b) for a, b in zip(positions, positions[1:]))
        out.write(f"  the sensor travelled {travelled:.2f} m in {replay.target} "
                  "over the delivered messages\n")
    for text in stats.callback_lookup_errors[:3]:
        out.write(f"  lookup in a callback failed: {text}\n")

    out.write("\nThroughput (measured in this run, on this machine)\n")
    if replay.inserted and replay.insert_seconds > 0:
        rate = replay.inserted / replay.insert_seconds
        out.write(f"  inserts  {rate:12,.0f} transforms/s   {replay.inserted:,} transforms, "
                  "filter wake-ups included, callbacks excluded\n")
    if speed_frames is not None:
        from_frame, to_frame, stamps = speed_frames
        rate = replay.lookup_rate(from_frame, to_frame, stamps)
        links = tree.chain_length(from_frame, to_frame)
        if rate is None:
            out.write(f"  lookups  none: {from_frame} -> {to_frame} could not be looked up "
                      "at the end\n")
        else:
            out.write(f"  lookups  {rate:12,.0f} lookups/s      {from_frame} -> {to_frame}, "
                      f"{links} links, interpolated\n")


def run_builtin(args, out, err):
    target = args.target or "map"
    events, notes = simulated_robot()
    start, ms = SIM_START_NS, NS_PER_SECOND // 1000
    queries = [
        Query(f"gripper in {target}", "gripper", target, start + 555 * ms),
        Query(f"gripper in {target}", "gripper", target, start + 1505 * ms),
        Query(f"gripper in {target}", "gripper", target, start + 2755 * ms),
        Query("gripper seen from camera", "gripper", "camera", start + 1505 * ms),
        Query(f"gripper in {target}", "gripper", target, start + 5 * NS_PER_SECOND),
    ]
    queue_size = SIM_QUEUE_SIZE if args.queue_size is None else args.queue_size
    replay = Replay(10.0, target, queue_size, queries, 200 * ms)
    replay.run((a, topic.lstrip("/"), m) for a, topic, m in events)
    end = start + SIM_SECONDS * NS_PER_SECOND
    title = (f"a simulated mobile robot arm, {SIM_SECONDS} s of transforms at 100 Hz "
             "and laser scans at 20 Hz")
    print_report(out, title, notes, replay, start, "LaserScan on /scan", queue_size,
                 ("gripper", target, spread(start, end, 2000)))
    return 0


# Bags, through the optional rosbags package.


class BagError(Exception):
    """A bag that cannot be used; its text is the whole explanation.

    Exit code 2 says the command line names something that is not there, 1 that the bag
    itself cannot be used.
    """

    def __init__(self, text, exit_code=1):
        super().__init__(text)
        self.exit_code = exit_code


def is_tf_topic(topic):
    return topic.lstrip("/") in ("tf", "tf_static")


def has_header(typestore, msgtype):
    fields = typestore.fielddefs.get(msgtype)
    return fields is not None and any(name == "header" for name, _ in fields[1])


def read(reader, connections, progress, deserialize=lambda conn: True):
    """(timestamp, topic, message or None) from the bag; reader failures become BagError."""
    messages = reader.messages(connections=connections)
    while True:
        try:
            item = next(messages, None)
            if item is None:
                break
            connection, timestamp, raw = item
            message = None
            if deserialize(connection):
                message = reader.deserialize(raw, connection.msgtype)
        except Exception as error:  # noqa: BLE001 - any failure of the reader means a bad bag
            raise BagError(f"cannot read {reader.paths[0]}: {error}") from None
        progress.step()
        yield timestamp, connection.topic, message


LONG_BAG_MESSAGES = 100_000


def run_bag(args, out, err):
    path = Path(args.bag)
    if not path.exists():
        raise BagError(f"no such bag: {path}", 2)
    try:
        from rosbags.highlevel import AnyReader
        from rosbags.typesys import Stores, get_typestore
    except ImportError:
        raise BagError(
            "reading bags needs the rosbags package: pip install quilm-tf[bags]") from None
    try:
        reader = AnyReader([path], default_typestore=get_typestore(Stores.ROS2_HUMBLE))
        reader.open()
    except Exception as error:  # noqa: BLE001 - any failure to open means a bad bag
        raise BagError(f"cannot read {path}: {error}") from None
    try:
        return replay_bag(args, reader, path, out, err)
    finally:
        reader.close()


def replay_bag(args, reader, path, out, err):
    topics = reader.topics
    tf_connections = [c for c in reader.connections if is_tf_topic(c.topic)]
    if not tf_connections:
        names = ", ".join(topics) or "none"
        raise BagError(f"{path} has no /tf or /tf_static topic (topics: {names})")
    if args.topic is not None:
        if args.topic not in topics:
            raise BagError(f"{path} has no topic {args.topic} (topics: {', '.join(topics)})", 2)
        sensor_topic = args.topic
    else:
        sensor_topic = next(
            (name for name, info in topics.items()
             if not is_tf_topic(name) and has_header(reader.typestore, info.msgtype)),
            None,
        )
    sensor_connections = [c for c in reader.connections if c.topic == sensor_topic]
    wanted = tf_connections + sensor_connections
    total = sum(c.msgcount for c in wanted)
    show = err.isatty() or total >= LONG_BAG_MESSAGES

    # A first pass over the transforms finds the tree, its root and the stamps worth asking.
    scan_tree = FrameTree()
    sensor_frame = None
    progress = Progress("scanning ", total, err, show)
    first_sensor = True

    def wanted_now(connection):
        # Only the first sensor message is decoded here, for its frame.
        nonlocal first_sensor
        if connection.topic == sensor_topic:
            keep, first_sensor = first_sensor, False
            return keep
        return True

    for _, topic, message in read(reader, wanted, progress, wanted_now):
        if message is None:
            continue
        if topic == sensor_topic:
            sensor_frame = message.header.frame_id.lstrip("/") or None
            continue
        static = topic.lstrip("/") == "tf_static"
        for item in message.transforms:
            stamp = stamp_ns_of(item.header)
            # The buffer refuses dynamic transforms stamped zero; they must not widen the span.
            if static or stamp:
                scan_tree.add(item.header.frame_id, item.child_frame_id, stamp, static)
    progress.finish()

    frames = scan_tree.frames()
    if not frames:
        raise BagError(f"{path} holds no transforms on /tf or /tf_static")
    if args.target is not None:
        target = args.target.lstrip("/")
        if target not in frames:
            names = ", ".join(sorted(frames))
            raise BagError(f"frame {args.target} is not in the bag's transforms (frames: {names})",
                           2)
    elif sensor_frame is not None and sensor_frame in frames:
        target = scan_tree.root_of(sensor_frame)
    else:
        # The root of the biggest tree.
        sizes = {}
        for frame in frames:
            root = scan_tree.root_of(frame)
            sizes[root] = sizes.get(root, 0) + 1
        target = max(sizes, key=sizes.get)

    leaf = scan_tree.deepest(scan_tree.root_of(target))
    probe = leaf if leaf != target else (sensor_frame or leaf)
    # Lookups are asked where every link on the chains they walk has data.
    chains = set(scan_tree.path_to_root(probe)) | set(scan_tree.path_to_root(target))
    if sensor_frame in frames:
        chains |= set(scan_tree.path_to_root(sensor_frame))
    covered = scan_tree.dynamic_range(chains)
    all_stamps = [link.first_ns for link in scan_tree.links.values() if not link.is_static]
    origin = min(all_stamps) if all_stamps else 0
    queries = []
    if covered is not None:
        begin, end = covered
        if begin >= end:
            begin, end = min(all_stamps), max(link.last_ns for link in scan_tree.links.values())
        for share in (0.25, 0.5, 0.75):
            stamp = begin + int((end - begin) * share)
            if sensor_frame and sensor_frame in frames and sensor_frame != target:
                queries.append(Query(f"{sensor_frame} in {target}", sensor_frame, target, stamp))
            if probe != target and probe != sensor_frame:
                queries.append(Query(f"{probe} in {target}", probe, target, stamp))

    history_seconds = 10.0
    queue_size = 100 if args.queue_size is None else args.queue_size
    # Asked once transforms well past the stamp have arrived, and long before they expire.
    replay = Replay(history_seconds, target, queue_size, queries,
                    int(history_seconds / 2 * NS_PER_SECOND))
    progress = Progress("replaying", total, err, show)

    def events():
        for timestamp, topic, message in read(reader, wanted, progress):
            kind = topic.lstrip("/") if is_tf_topic(topic) else "sensor"
            yield timestamp, kind, message

    replay.run(events())
    progress.finish()

    sensor_label = (f"{topics[sensor_topic].msgtype.rsplit('/', 1)[-1]} on {sensor_topic}"
                    if sensor_topic else "no sensor topic with a header")
    speed = None
    if probe != target and covered is not None:
        newest = replay.newest_ns
        window = int(history_seconds / 2 * NS_PER_SECOND)
        speed = (probe, target, spread(max(newest - window, covered[0]), newest, 2000))
    count = reader.message_count
    duration = (reader.end_time - reader.start_time) / NS_PER_SECOND if count else 0.0
    title = f"{path} ({count:,} messages over {duration:.1f} s)"
    print_report(out, title, [], replay, origin, sensor_label, queue_size, speed)
    return 0


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog="python -m quilm_tf.demo",
        description="Replay a robot's transforms and sensor messages through quilm-tf and report "
        "the frame tree, a few lookups, the message filter's results and the throughput. "
        "Without --bag it replays a built-in simulated robot.",
    )
    parser.add_argument("--bag", metavar="PATH",
                        help="a rosbag2 folder, .db3 or .mcap file, or a ROS 1 .bag file")
    parser.add_argument("--target", metavar="FRAME",
                        help="target frame of the message filter (default: the root of the tree)")
    parser.add_argument("--topic", metavar="TOPIC",
                        help="sensor topic to filter (default: the first topic with a header)")
    parser.add_argument("--queue-size", metavar="N", type=int,
                        help="queue bound of the message filter "
                        "(default: 5 built in, 100 for bags)")
    args = parser.parse_args(argv)
    if args.topic is not None and args.bag is None:
        parser.error("--topic needs --bag")
    if args.queue_size is not None and args.queue_size < 0:
        parser.error("--queue-size must not be negative")
    out, err = sys.stdout, sys.stderr
    try:
        if args.bag is None:
            return run_builtin(args, out, err)
        return run_bag(args, out, err)
    except BagError as error:
        err.write(f"{parser.prog}: {error}\n")
        return error.exit_code
    except TransformError as error:
        # A target frame name that the filter refuses, such as "a/b".
        err.write(f"{parser.prog}: TransformError: {error}\n")
        return 2
    except BrokenPipeError:
        # Output piped into head: not worth a traceback.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1


if __name__ == "__main__":
    sys.exit(main())
