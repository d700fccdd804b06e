"""Growth and ratio checks of the Python layer, each measured in one run.

- filter attach: constructing n MessageFilter objects on one buffer (all kept alive, and
  again with every other one dropped at once), at n and 4n; near-linear costs about 4x.
- can_transform against lookup on the robot-arm scenario of bench/scenario.hpp (the three
  queries of the C++ benchmarks at the 4096 query stamps): the ratio of their CPU times.

Run against a Release build of the module:
    PYTHONPATH=<dir with quilm_tf> python bench/python/bench_scale.py
"""

import argparse
import statistics
import time

import quilm_tf._native as native
from bench_transform_buffer import (
    DATA_SECONDS,
    NS_PER_SECOND,
    START_NS,
    filled_buffer,
    per_call_ns,
    query_stamps,
    samples,
    slotted_message,
)

QUERIES = [("gripper", "map"), ("laser", "gripper"), ("map", "camera")]


def attach_seconds(n, drop_half, repeat):
    """Best CPU time of constructing n filters on a fresh buffer."""
    best = float("inf")
    for _ in range(repeat):
        buffer = native.TransformBuffer(10)
        kept = []
        start = time.process_time()
        for i in range(n):
            f = native.MessageFilter(buffer, "map", 10)
            if not (drop_half and i % 2):
                kept.append(f)
        best = min(best, time.process_time() - start)
        del kept, buffer
    return best


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--filters", type=int, default=20_000)
    args = parser.parse_args()

    print(f"module: {native.__file__}")
    n = args.filters
    for drop_half, label in ((False, "all kept"), (True, "half dropped")):
        small = attach_seconds(n, drop_half, args.repeat)
        large = attach_seconds(4 * n, drop_half, args.repeat)
        print(
            f"filter attach ({label:12}) n={n:<7} {small:8.3f} s   4n={4 * n:<7} {large:8.3f} s"
            f"   x{large / small:.1f}   {1e6 * large / (4 * n):.2f} us/filter at 4n"
        )

    data = samples(DATA_SECONDS)
    buffer = filled_buffer([(i, s, slotted_message(i, s, p)) for i, s, p in data])
    stamps = query_stamps(4096, START_NS, START_NS + DATA_SECONDS * NS_PER_SECOND)
    calls = len(stamps)
    for source, target in QUERIES:
        if not all(buffer.can_transform(source, target, s) for s in stamps):
            raise SystemExit("the scenario does not cover every query stamp")
        lookup, can_transform = buffer.lookup, buffer.can_transform

        def lookups(lookup=lookup, source=source, target=target):
            for s in stamps:
                lookup(source, target, s)

        def checks(can_transform=can_transform, source=source, target=target):
            for s in stamps:
                can_transform(source, target, s)

        # Interleaved, so a busy neighbour slows both alike.
        pairs = [
            (per_call_ns(lookups, calls, 1), per_call_ns(checks, calls, 1))
            for _ in range(4 * args.repeat + 1)
        ]
        looked = statistics.median(p[0] for p in pairs)
        checked = statistics.median(p[1] for p in pairs)
        print(
            f"{source + '->' + target:<16} lookup {looked:7.1f} ns  can_transform {checked:7.1f} ns"
            f"  ratio {100 * checked / looked:5.1f}%"
        )


if __name__ == "__main__":
    main()
