"""The demo's report: the built-in robot or a bag replayed, then the frame tree, a few lookups,
what the message filter delivered and dropped, and the throughput measured in this run."""

from __future__ import annotations

import argparse
import math
import statistics
from collections.abc import Collection, Iterator, Sequence

from quilm_tf import TransformBuffer
from quilm_tf.stamps import NS_PER_SECOND
from quilm_tf.tools.bags import (
    Bag,
    BagError,
    Out,
    Refusals,
    Stream,
    TfLoader,
    has_header,
    is_static_topic,
    unknown_frame,
)
from quilm_tf.tools.replay import Event, Query, Replay, Serialized, spread
from quilm_tf.tools.robot import SIM_QUEUE_SIZE, SIM_SECONDS, SIM_START_NS, simulated_robot
from quilm_tf.tools.source import BagSource
from quilm_tf.tools.text import name, plural, wrapped, write_refusals
from quilm_tf.tools.tree import FrameTree, box_drawing_ok


def print_report(
    out: Out,
    title: str,
    notes: Sequence[str],
    replay: Replay,
    origin_ns: int,
    sensor_label: str,
    queue_size: int,
    speed_frames: tuple[str, str, list[int]] | None,
    skipped: dict[str, int] | None = None,
) -> None:
    plain = not box_drawing_ok(out)
    tree = replay.tree
    out.write(f"quilm-tf demo: {title}\n")
    for note in notes:
        out.write(f"  {note}\n")

    frames = tree.frames()
    links, frame_count = plural(len(tree.links), "link"), plural(len(frames), "frame")
    out.write(f"\nFrame tree ({links} between {frame_count})\n")
    for line in tree.render(plain) or ["(no transforms)"]:
        out.write(f"  {line}\n")
    write_refusals(out, replay.insert_errors, skipped)

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
    bound = f"queue bound {queue_size}" if queue_size else "queue unbounded"
    target = name(replay.target)
    out.write(f"\nMessage filter: {sensor_label}, target frame {target}, {bound}\n")
    out.write(f"  received     {stats.received:6d}\n")
    for text, count in stats.rejected.items():
        out.write(f"  not queued   {count:6d}   ")
        out.write(wrapped(text, 0, 6).lstrip())
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
        out.write(
            f"  the sensor travelled {travelled:.2f} m in {replay.target} "
            "over the delivered messages\n"
        )
    for text in stats.callback_lookup_errors[:3]:
        out.write(f"  lookup in a callback failed: {text}\n")

    out.write("\nThroughput (measured in this run, on this machine)\n")
    if replay.inserted and replay.insert_seconds > 0:
        rate = replay.inserted / replay.insert_seconds
        out.write(
            f"  inserts  {rate:12,.0f} transforms/s   {replay.inserted:,} transforms, "
            "filter wake-ups included, callbacks excluded\n"
        )
    if speed_frames is not None:
        from_frame, to_frame, stamps = speed_frames
        lookups_per_s = replay.lookup_rate(from_frame, to_frame, stamps)
        chain_links = tree.chain_length(from_frame, to_frame)
        if lookups_per_s is None:
            out.write(
                f"  lookups  none: {name(from_frame)} -> {name(to_frame)} could not be looked "
                "up at the end\n"
            )
        else:
            out.write(
                f"  lookups  {lookups_per_s:12,.0f} lookups/s      {name(from_frame)} -> "
                f"{name(to_frame)}, {chain_links} links, interpolated\n"
            )


def run_builtin(args: argparse.Namespace, out: Out, err: Stream) -> int:
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
    replay.run((a, topic.lstrip("/"), m, topic) for a, topic, m in events)
    end = start + SIM_SECONDS * NS_PER_SECOND
    title = (
        f"a simulated mobile robot arm, {SIM_SECONDS} s of transforms at 100 Hz "
        "and laser scans at 20 Hz"
    )
    print_report(
        out,
        title,
        notes,
        replay,
        start,
        "LaserScan on /scan",
        queue_size,
        ("gripper", target, spread(start, end, 2000)),
    )
    return 0


def run_bag(args: argparse.Namespace, source: BagSource, out: Out, err: Stream) -> int:
    with source.open(err) as bag:
        return replay_bag(args, bag, out)


def choose_sensor_topic(bag: Bag, name: str | None, tf_topics: Collection[str]) -> str | None:
    """The topic named, or the first with a header; None if the bag has none."""
    store = bag.reader.typestore
    if name is None:
        return next(
            (
                topic
                for topic, info in bag.topics.items()
                if topic not in tf_topics and has_header(store, info.msgtype)
            ),
            None,
        )
    topic = bag.topic(name)
    msgtype = bag.topics[topic].msgtype
    if not has_header(store, msgtype):
        raise BagError(
            f"topic {topic} carries {msgtype}, which has no header: the message "
            "filter needs messages with a frame and a stamp",
            2,
        )
    return topic


def replay_bag(args: argparse.Namespace, bag: Bag, out: Out) -> int:
    path = bag.path
    tf_connections = bag.tf_connections()
    tf_topics = {c.topic for c in tf_connections}
    sensor_topic = choose_sensor_topic(bag, args.topic, tf_topics)
    wanted = tf_connections + bag.connections([sensor_topic])

    # A first pass over the transforms finds the tree, its root and the stamps worth asking.
    # Transforms go through a buffer first, so that a link it refuses (a cycle, a second
    # parent) never enters the tree; a zero history keeps only each link's newest sample.
    scan_tree, checker, refused = FrameTree(), TransformBuffer(0.0), Refusals()
    loader = TfLoader(bag, checker, scan_tree, refused)
    sensor_frame = None
    first_sensor = True
    for timestamp, connection, raw in bag.records(wanted, "scanning"):
        if connection.topic != sensor_topic:
            loader.add(timestamp, connection, raw)
        elif first_sensor:
            # Only the first sensor message is decoded here, for its frame.
            first_sensor = False
            sensor_frame = bag.decode(raw, connection).header.frame_id.lstrip("/") or None
    loader.flush()

    frames = scan_tree.frames()
    if not frames:
        raise BagError(f"{path} holds no transforms on /tf or /tf_static")
    if args.target is not None:
        target = args.target.lstrip("/")
        if target not in frames:
            raise unknown_frame(scan_tree, args.target, refused)
    elif sensor_frame is not None and sensor_frame in frames:
        target = scan_tree.root_of(sensor_frame)
    else:
        # The root of the biggest tree.
        sizes: dict[str, int] = {}
        for frame in frames:
            root = scan_tree.root_of(frame)
            sizes[root] = sizes.get(root, 0) + 1
        target = max(sizes, key=sizes.__getitem__)

    leaf = scan_tree.deepest(scan_tree.root_of(target))
    probe = leaf if leaf != target else (sensor_frame or leaf)
    # Lookups are asked where every link on the chains they walk has data.
    chains = set(scan_tree.path_to_root(probe)) | set(scan_tree.path_to_root(target))
    if sensor_frame in frames:
        chains |= set(scan_tree.path_to_root(sensor_frame))
    covered = scan_tree.dynamic_range(chains)
    all_stamps = [link.first_ns for link in scan_tree.links.values() if not link.is_static]
    origin = min(all_stamps) if all_stamps else 0
    queries: list[Query] = []
    if covered is not None:
        begin, end = covered
        if begin >= end:
            begin, end = min(all_stamps), max(link.last_ns for link in scan_tree.links.values())
        for share in (0.25, 0.5, 0.75):
            stamp = begin + int((end - begin) * share)
            if sensor_frame and sensor_frame in frames and sensor_frame != target:
                label = f"{name(sensor_frame)} in {name(target)}"
                queries.append(Query(label, sensor_frame, target, stamp))
            if probe != target and probe != sensor_frame:
                queries.append(Query(f"{name(probe)} in {name(target)}", probe, target, stamp))

    history_seconds = 10.0
    queue_size = 100 if args.queue_size is None else args.queue_size
    # Asked once transforms well past the stamp have arrived, and long before they expire.
    replay = Replay(
        history_seconds, target, queue_size, queries, int(history_seconds / 2 * NS_PER_SECOND)
    )

    def events() -> Iterator[Event]:
        for timestamp, connection, raw in bag.records(wanted, "replaying"):
            topic = connection.topic
            if topic not in tf_topics:
                yield timestamp, "sensor", bag.decode(raw, connection), topic
            else:
                kind = "tf_static" if is_static_topic(topic) else "tf"
                yield timestamp, kind, Serialized(raw, bag.ros1), topic

    replay.run(events())

    # The topic chosen has a header, so its messages are of one type (rosbags gives None for a
    # topic whose connections disagree).
    sensor_type = (bag.topics[sensor_topic].msgtype or "") if sensor_topic else ""
    sensor_label = (
        f"{name(sensor_type.rsplit('/', 1)[-1])} on {name(sensor_topic)}"
        if sensor_topic
        else "no sensor topic with a header"
    )
    speed = None
    if probe != target and covered is not None:
        newest = replay.newest_ns
        window = int(history_seconds / 2 * NS_PER_SECOND)
        speed = (probe, target, spread(max(newest - window, covered[0]), newest, 2000))
    print_report(out, bag.title(), [], replay, origin, sensor_label, queue_size, speed, bag.skipped)
    return 0
