"""Per-message and per-wake-up cost of the Python MessageFilter on the robot-arm scenario.

Uses the buffer of bench_transform_buffer.py (the links, poses and stamps of
bench/scenario.hpp) and messages shaped like generated ROS 2 classes (slotted), then times:

- ready on arrival: add() of a gripper message at a covered stamp, one target frame (map),
  one callback that does nothing; each add drains and delivers its message. Beside it, in the
  same run: the empty loop, can_transform gripper -> map (the one lookup a delivery needs)
  and add() of a message with an empty frame id (read, rejected, no lookup, no callback);
- wake-up: an insert that makes one queued message ready in each of 10 filters, against the
  same insert with no filter attached and with 10 filters whose queues are empty;
- head-of-line blocking: an insert that unblocks nothing, with one filter holding 10 or
  10,000 messages behind a head that cannot be transformed yet, and with no filter at all,
  beside the head's failing lookup alone. A drain stops at the head: one lookup per filter,
  so the queue length must not show.

Each figure is the median over --repeat runs. Run against a Release build of the module:
    python bench/python/bench_message_filter.py
"""

import argparse
import gc
import statistics
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import bench_transform_buffer as scenario
import quilm_tf._native as native

IDENTITY = [[1.0, 0.0, 0.0, 0.0], [0.0, 1.0, 0.0, 0.0], [0.0, 0.0, 1.0, 0.0], [0.0, 0.0, 0.0, 1.0]]


class Stamped:
    """A sensor message with a header, slotted like a generated message class."""

    __slots__ = ("header", "data")

    def __init__(self, frame_id, stamp_ns):
        sec, nanosec = divmod(stamp_ns, scenario.NS_PER_SECOND)
        self.header = scenario.Header(scenario.Time(sec, nanosec), frame_id)
        self.data = None


def nothing(message):
    pass


def full_buffer():
    data = scenario.samples(scenario.DATA_SECONDS)
    return scenario.filled_buffer([(i, s, scenario.slotted_message(i, s, p)) for i, s, p in data])


def time_arrivals(buffer, stamps, repeat):
    ready = [Stamped("gripper", s) for s in stamps]
    rejected = [Stamped("", s) for s in stamps]
    delivering = native.MessageFilter(buffer, "map", 0, nothing)
    silent = native.MessageFilter(buffer, "map", 0)
    can_transform = buffer.can_transform

    def empty_loop():
        for _m in ready:
            pass

    def lookups():
        for s in stamps:
            can_transform("gripper", "map", s)

    def adds(filter_, messages):
        add = filter_.add

        def run():
            for m in messages:
                add(m)

        return run

    n = len(stamps)
    figures = {
        "empty loop": scenario.per_call_ns(empty_loop, n, repeat),
        "can_transform gripper->map": scenario.per_call_ns(lookups, n, repeat),
        "add, empty frame id (rejected)": scenario.per_call_ns(adds(silent, rejected), n, repeat),
        "add, ready on arrival, delivered": scenario.per_call_ns(
            adds(delivering, ready), n, repeat
        ),
    }
    if delivering.pending_count or silent.pending_count:
        raise SystemExit("a message stayed queued")
    return figures


def median_insert_ns(setup, insert, count, repeat):
    """Median over `repeat` runs of the median time of `count` single inserts; setup(k) runs
    untimed before insert(k). Single calls are timed because a shared machine preempts now
    and then for far longer than an insert takes, which would swamp a mean."""
    runs = []
    for r in range(repeat):
        times = []
        for k in range(r * count, (r + 1) * count):
            setup(k)
            start = time.perf_counter_ns()
            insert(k)
            times.append(time.perf_counter_ns() - start)
        runs.append(statistics.median(times))
    return statistics.median(runs)


def time_wake_ups(repeat, count=500, filters=10):
    """An insert of the static link gripper -> tool_k makes a tool_k message ready."""
    stamp = scenario.START_NS + scenario.NS_PER_SECOND

    def insert_into(buffer):
        return lambda k: buffer.insert_transform("gripper", f"tool{k}", IDENTITY, 1, is_static=True)

    def case(attached, waiting):
        buffer = full_buffer()
        delivered = []
        group = [native.MessageFilter(buffer, "map", 0, delivered.append) for _ in range(attached)]

        def setup(k):
            if waiting:
                for f in group:
                    f.add(Stamped(f"tool{k}", stamp))

        ns = median_insert_ns(setup, insert_into(buffer), count, repeat)
        if len(delivered) != (attached * count * repeat if waiting else 0):
            raise SystemExit("a wake-up missed a message")
        return ns

    return {
        "insert, no filter attached": case(0, False),
        f"insert, {filters} filters, empty queues": case(filters, False),
        f"insert, {filters} filters, one message each made ready": case(filters, True),
    }


def time_blocked(repeat, lengths=(10, 10_000), count=2000):
    """Inserts of unrelated static links into a buffer whose filter is blocked by a gripper
    message stamped after the data (its lookup walks the chain and fails), with ready
    messages queued behind it."""
    covered = scenario.START_NS + scenario.NS_PER_SECOND
    beyond = scenario.START_NS + (scenario.DATA_SECONDS + 5) * scenario.NS_PER_SECOND
    figures = {}
    for length in (0, *lengths):
        buffer = full_buffer()
        if length:
            f = native.MessageFilter(buffer, "map", 0, nothing)
            f.add(Stamped("gripper", beyond))
            for _ in range(length - 1):
                f.add(Stamped("gripper", covered))

        def insert(k, buffer=buffer):
            buffer.insert_transform("map", f"unrelated{k}", IDENTITY, 1, is_static=True)

        name = (
            f"insert, one filter, {length} queued behind a blocked head"
            if length
            else ("insert, no filter attached")
        )
        figures[name] = median_insert_ns(lambda k: None, insert, count, repeat)
        if length and f.pending_count != length:
            raise SystemExit("the blocked queue moved")
    check = buffer.can_transform
    figures["the head's lookup alone (can_transform, fails)"] = scenario.per_call_ns(
        lambda: [check("gripper", "map", beyond) for _ in range(count)], count, repeat
    )
    return figures


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=15)
    args = parser.parse_args()
    # As timeit does: a collection landing in a timed loop would be charged to it.
    gc.disable()

    print(f"module: {native.__file__}")
    buffer = full_buffer()
    stamps = scenario.query_stamps(
        4096, scenario.START_NS, scenario.START_NS + scenario.DATA_SECONDS * scenario.NS_PER_SECOND
    )
    sections = [
        ("ready on arrival (ns per message)", time_arrivals(buffer, stamps, args.repeat)),
        ("wake-up (ns per insert)", time_wake_ups(args.repeat)),
        ("head-of-line blocking (ns per insert)", time_blocked(args.repeat)),
    ]
    width = max(len(name) for _, figures in sections for name in figures)
    for title, figures in sections:
        print(f"\n{title}")
        for name, ns in figures.items():
            print(f"  {name:<{width}}  {ns:9.1f}")


if __name__ == "__main__":
    main()
