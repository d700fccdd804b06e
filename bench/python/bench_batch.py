"""The array functions of quilm_tf against their alternatives, on the robot-arm scenario.

Fills a buffer with the samples of bench/scenario.hpp (through bench_transform_buffer.py,
which reproduces them bit for bit), then measures in one run:

- lookup_many gripper -> map over 100,000 query stamps (int64 array), per stamp, beside a
  Python loop of lookup over the same stamps (a list of ints), and, with --service-bench,
  beside the C++ lookup_ns of the same chain (service_bench, run in this session);
- transform_points of 1,000,000 float64 points laser -> map at one stamp, beside numpy's
  own ``points @ R.T + t`` on the matrix lookup returns;
- transform_points of 100,000 points laser -> map with one stamp per point, the stamps
  spread evenly over 1 s (a sweep to deskew; base_link moves at 100 Hz), per point.

Lookups are timed in process CPU time, as the other benchmarks; the point transforms also
in wall time, since numpy's matrix product may run on several threads. Each figure is the
median over --repeat runs. Run against a Release build of the module:
    python bench/python/bench_batch.py --service-bench build/bench/service_bench
"""

import argparse
import statistics
import time

import numpy as np
from bench_transform_buffer import (
    DATA_SECONDS,
    NS_PER_SECOND,
    START_NS,
    benchmark_median_ns,
    filled_buffer,
    query_stamps,
    samples,
    slotted_message,
)

import quilm_tf


def median_ns(run, count, repeat, clock):
    """Median over `repeat` runs of the time of run() divided by `count`."""
    times = []
    for _ in range(repeat):
        start = clock()
        run()
        times.append((clock() - start) / count)
    return statistics.median(times)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=11)
    parser.add_argument("--service-bench", help="path of the C++ service_bench binary")
    parser.add_argument("--registry-bench", help="path of the C++ registry_bench binary")
    args = parser.parse_args()
    cpu, wall = time.process_time_ns, time.perf_counter_ns

    print(f"module: {quilm_tf._native.__file__}")
    data = samples(DATA_SECONDS)
    buffer = filled_buffer([(i, s, slotted_message(i, s, p)) for i, s, p in data])
    stamp_list = query_stamps(100_000, START_NS, START_NS + DATA_SECONDS * NS_PER_SECOND)
    stamps = np.array(stamp_list, dtype=np.int64)
    lookup = buffer.lookup

    def python_loop():
        for s in stamp_list:
            lookup("gripper", "map", s)

    def many():
        return quilm_tf.lookup_many(buffer, "gripper", "map", stamps)

    expected = np.array([lookup("gripper", "map", s) for s in stamp_list[:1000]])
    if many()[:1000].tobytes() != expected.tobytes():
        raise SystemExit("lookup_many disagrees with lookup")
    loop_ns = median_ns(python_loop, len(stamps), args.repeat, cpu)
    many_ns = median_ns(many, len(stamps), args.repeat, cpu)
    rows = [
        ("Python loop of lookup gripper->map", f"{loop_ns:8.1f} ns/stamp (CPU)"),
        ("lookup_many gripper->map", f"{many_ns:8.1f} ns/stamp (CPU)"),
        ("  ratio lookup_many / Python loop", f"{many_ns / loop_ns:8.3f}x"),
    ]
    if args.service_bench:
        cxx_ns = benchmark_median_ns(args.service_bench, "BM_ServiceLookup/0", args.repeat)
        rows += [
            ("C++ lookup_ns gripper->map", f"{cxx_ns:8.1f} ns/stamp (CPU)"),
            ("  ratio lookup_many / C++ lookup_ns", f"{many_ns / cxx_ns:8.3f}x"),
        ]
    if args.registry_bench:
        floor_ns = benchmark_median_ns(args.registry_bench, "BM_LookupFloor/query:0", args.repeat)
        rows += [
            ("C++ arithmetic floor gripper->map", f"{floor_ns:8.1f} ns/stamp (CPU)"),
            ("  ratio floor / Python loop", f"{floor_ns / loop_ns:8.3f}x"),
        ]

    rng = np.random.default_rng(7)
    cloud = rng.uniform(-20.0, 20.0, (1_000_000, 3))
    stamp = START_NS + 5 * NS_PER_SECOND + 1234567
    m = np.array(buffer.lookup("laser", "map", stamp))
    r, t = m[:3, :3], m[:3, 3]

    def ours():
        return quilm_tf.transform_points(buffer, "laser", "map", stamp, cloud)

    def theirs():
        return cloud @ r.T + t

    if not np.allclose(ours(), theirs()):
        raise SystemExit("transform_points disagrees with numpy")
    for name, clock in (("CPU", cpu), ("wall", wall)):
        ours_ns = median_ns(ours, len(cloud), args.repeat, clock)
        numpy_ns = median_ns(theirs, len(cloud), args.repeat, clock)
        rows += [
            (f"transform_points 1e6 points, one stamp ({name})", f"{ours_ns:8.2f} ns/point"),
            (f"numpy points @ R.T + t ({name})", f"{numpy_ns:8.2f} ns/point"),
            (f"  ratio transform_points / numpy ({name})", f"{ours_ns / numpy_ns:8.3f}x"),
        ]

    sweep = rng.uniform(-20.0, 20.0, (100_000, 3))
    step = NS_PER_SECOND // len(sweep)
    measured = START_NS + 2 * NS_PER_SECOND + np.arange(len(sweep), dtype=np.int64) * step

    def deskew():
        return quilm_tf.transform_points(buffer, "laser", "map", measured, sweep)

    sweep_ns = median_ns(deskew, len(sweep), args.repeat, cpu)
    rows.append(("transform_points 1e5 points, a stamp each", f"{sweep_ns:8.1f} ns/point (CPU)"))

    width = max(len(name) for name, _ in rows)
    for name, figure in rows:
        print(f"{name:<{width}}  {figure}")


if __name__ == "__main__":
    main()
