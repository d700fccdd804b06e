"""Per-call cost of the Python TransformBuffer on the robot-arm scenario of bench/scenario.hpp.

Fills a buffer with the same samples as the C++ benchmarks (same links, poses, stamps and
query stamps, reimplemented here bit for bit), then times, per call:

- lookup gripper -> map and can_transform gripper -> map at the 4096 query stamps;
- insert_transform_stamped of ROS-shaped messages (slotted classes, as generated message
  classes are, and SimpleNamespace trees), in publishing order into a fresh buffer;
- the floor: an empty loop over the same stamps, and lookup map -> map (argument parsing
  and result building with no chain to walk).

With --service-bench PATH (the service_bench binary, built with -DQUILM_TF_BENCH=ON in a
Release build), it also runs the C++ lookup_ns of the same chain in this session and
reports the binding's share: Python lookup minus C++ lookup.

Each figure is the median over --repeat runs of the process's CPU time per call (on a
shared machine wall time mostly measures the neighbours), the C++ figure likewise its CPU
time. Run against a Release build of the module:
    python bench/python/bench_transform_buffer.py --service-bench build/rel/service_bench
"""

import argparse
import json
import math
import statistics
import subprocess
import time
from types import SimpleNamespace

import quilm_tf._native as native

LINKS = [
    ("map", "odom", 10),
    ("odom", "base_link", 100),
    ("base_link", "torso", 0),
    ("torso", "shoulder", 100),
    ("shoulder", "elbow", 100),
    ("elbow", "wrist", 100),
    ("wrist", "gripper", 0),
    ("base_link", "laser", 0),
    ("base_link", "camera", 0),
]
NS_PER_SECOND = 1_000_000_000
START_NS = 1_000 * NS_PER_SECOND
DATA_SECONDS = 10
HISTORY_SECONDS = 10
MASK64 = (1 << 64) - 1


def link_pose(index, stamp_ns):
    """(tx, ty, tz, qw, qx, qy, qz), the same double arithmetic as the C++ scenario."""
    t = float(stamp_ns) / 1e9
    phase = 0.7 * index
    angle = 1.2 * math.sin(0.9 * t + phase) + 0.3 * index
    ax, ay, az = math.cos(phase), math.sin(phase), 0.5 + 0.1 * index
    norm = math.sqrt(ax * ax + ay * ay + az * az)
    ax, ay, az = ax / norm, ay / norm, az / norm
    s = math.sin(angle / 2)
    return (
        0.3 + 0.5 * math.cos(0.5 * t + phase),
        0.1 * index - 0.2,
        0.05 * math.sin(1.3 * t + phase),
        math.cos(angle / 2),
        s * ax,
        s * ay,
        s * az,
    )


def samples(seconds):
    """(link index, stamp, pose): static links first, then a 10 ms grid in stamp order."""
    out = [(i, 0, link_pose(i, 0)) for i, (_, _, rate) in enumerate(LINKS) if rate == 0]
    tick = NS_PER_SECOND // 100
    counts = {i: seconds * rate + 1 for i, (_, _, rate) in enumerate(LINKS) if rate}
    ticks = max(counts[i] * ((NS_PER_SECOND // LINKS[i][2]) // tick) for i in counts)
    for k in range(ticks):
        stamp = START_NS + k * tick
        for i, count in counts.items():
            per = (NS_PER_SECOND // LINKS[i][2]) // tick
            if k % per == 0 and k // per < count:
                out.append((i, stamp, link_pose(i, stamp)))
    return out


def query_stamps(count, begin_ns, end_ns, seed=42):
    """splitmix64 draws off the 10 ms grid, as bench::query_stamps."""
    stamps, span, grid = [], end_ns - begin_ns, NS_PER_SECOND // 100
    while len(stamps) < count:
        seed = (seed + 0x9E3779B97F4A7C15) & MASK64
        z = seed
        z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & MASK64
        z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & MASK64
        offset = (z ^ (z >> 31)) % span
        if offset % grid:
            stamps.append(begin_ns + offset)
    return stamps


# Shaped like generated ROS 2 message classes, which keep their fields in slots.
class Time:
    __slots__ = ("sec", "nanosec")

    def __init__(self, sec, nanosec):
        self.sec, self.nanosec = sec, nanosec


class Header:
    __slots__ = ("stamp", "frame_id")

    def __init__(self, stamp, frame_id):
        self.stamp, self.frame_id = stamp, frame_id


class Vector3:
    __slots__ = ("x", "y", "z")

    def __init__(self, x, y, z):
        self.x, self.y, self.z = x, y, z


class Quaternion:
    __slots__ = ("x", "y", "z", "w")

    def __init__(self, x, y, z, w):
        self.x, self.y, self.z, self.w = x, y, z, w


class Transform:
    __slots__ = ("translation", "rotation")

    def __init__(self, translation, rotation):
        self.translation, self.rotation = translation, rotation


class TransformStamped:
    __slots__ = ("header", "child_frame_id", "transform")

    def __init__(self, header, child_frame_id, transform):
        self.header, self.child_frame_id, self.transform = header, child_frame_id, transform


def slotted_message(index, stamp, pose):
    tx, ty, tz, qw, qx, qy, qz = pose
    parent, child, _ = LINKS[index]
    sec, nanosec = divmod(stamp, NS_PER_SECOND)
    return TransformStamped(
        Header(Time(sec, nanosec), parent),
        child,
        Transform(Vector3(tx, ty, tz), Quaternion(qx, qy, qz, qw)),
    )


def namespace_message(index, stamp, pose):
    tx, ty, tz, qw, qx, qy, qz = pose
    parent, child, _ = LINKS[index]
    sec, nanosec = divmod(stamp, NS_PER_SECOND)
    return SimpleNamespace(
        header=SimpleNamespace(stamp=SimpleNamespace(sec=sec, nanosec=nanosec), frame_id=parent),
        child_frame_id=child,
        transform=SimpleNamespace(
            translation=SimpleNamespace(x=tx, y=ty, z=tz),
            rotation=SimpleNamespace(x=qx, y=qy, z=qz, w=qw),
        ),
    )


def filled_buffer(messages):
    buffer = native.TransformBuffer(HISTORY_SECONDS)
    for index, _stamp, message in messages:
        buffer.insert_transform_stamped(message, is_static=LINKS[index][2] == 0)
    return buffer


def per_call_ns(run, calls, repeat):
    """Median over `repeat` runs of the time per call; run() makes `calls` calls."""
    times = []
    for _ in range(repeat):
        start = time.process_time_ns()
        run()
        times.append((time.process_time_ns() - start) / calls)
    return statistics.median(times)


def time_queries(buffer, stamps, repeat):
    lookup, can_transform = buffer.lookup, buffer.can_transform

    def empty_loop():
        for _s in stamps:
            pass

    def lookups():
        for s in stamps:
            lookup("gripper", "map", s)

    def checks():
        for s in stamps:
            can_transform("gripper", "map", s)

    def identity_lookups():
        for s in stamps:
            lookup("map", "map", s)

    n = len(stamps)
    return {
        "empty loop": per_call_ns(empty_loop, n, repeat),
        "lookup map->map": per_call_ns(identity_lookups, n, repeat),
        "lookup gripper->map": per_call_ns(lookups, n, repeat),
        "can_transform gripper->map": per_call_ns(checks, n, repeat),
    }


def time_inserts(make_message, repeat):
    data = samples(DATA_SECONDS)
    static = [(i, s, make_message(i, s, p)) for i, s, p in data if LINKS[i][2] == 0]
    dynamic = [make_message(i, s, p) for i, s, p in data if LINKS[i][2] != 0]
    times = []
    for _ in range(repeat):
        buffer = filled_buffer(static)
        insert = buffer.insert_transform_stamped
        start = time.process_time_ns()
        for message in dynamic:
            insert(message)
        times.append((time.process_time_ns() - start) / len(dynamic))
    return statistics.median(times)


def benchmark_median_ns(binary, name, repeat):
    """Median CPU time of the Google Benchmark `name` in `binary` over `repeat` runs."""
    out = subprocess.run(
        [
            binary,
            f"--benchmark_filter=^{name}$",
            "--benchmark_format=json",
            f"--benchmark_repetitions={repeat}",
            "--benchmark_report_aggregates_only=true",
        ],
        check=True,
        capture_output=True,
        text=True,
    ).stdout
    for entry in json.loads(out)["benchmarks"]:
        if entry.get("aggregate_name") == "median":
            return entry["cpu_time"] * {"ns": 1, "us": 1e3, "ms": 1e6}[entry["time_unit"]]
    raise RuntimeError(f"no median of {name} in the output of {binary}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=21)
    parser.add_argument("--service-bench", help="path of the C++ service_bench binary")
    args = parser.parse_args()

    print(f"module: {native.__file__}")
    data = samples(DATA_SECONDS)
    buffer = filled_buffer([(i, s, slotted_message(i, s, p)) for i, s, p in data])
    stamps = query_stamps(4096, START_NS, START_NS + DATA_SECONDS * NS_PER_SECOND)
    if not all(buffer.can_transform("gripper", "map", s) for s in stamps):
        raise SystemExit("the scenario does not cover every query stamp")

    figures = time_queries(buffer, stamps, args.repeat)
    figures["insert_transform_stamped (slotted)"] = time_inserts(slotted_message, args.repeat)
    figures["insert_transform_stamped (SimpleNamespace)"] = time_inserts(
        namespace_message, args.repeat
    )
    if args.service_bench:
        cxx = benchmark_median_ns(args.service_bench, "BM_ServiceLookup/0", args.repeat)
        figures["C++ lookup_ns gripper->map"] = cxx
        figures["lookup minus C++ lookup_ns"] = figures["lookup gripper->map"] - cxx

    width = max(map(len, figures))
    for name, ns in figures.items():
        print(f"{name:<{width}}  {ns:8.1f} ns/call (CPU)")


if __name__ == "__main__":
    main()
