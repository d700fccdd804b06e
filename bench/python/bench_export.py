"""quilm-tf export against rosbags, and its Dask mode against one process, in one run.

1. A bag of 200,000 tf messages, 3 transforms each (map -> odom -> base_link -> arm at
   200 Hz over 1,000 s), written as a rosbag2 sqlite3 folder. Timed: the whole `quilm-tf
   export` process (interpreter start-up, imports, reading, decoding, lookups at --rate and
   Parquet writing), and, inside this running interpreter, rosbags reading and decoding the
   same /tf messages into Python objects. Goal: export at most 0.5x the rosbags time.
2. Four equal bags (one bag and three copies), each about `--work` seconds of export CPU
   time (sized from the CPU time the first export took per message), exported by one
   process, with --jobs 2 and with --dask (a local cluster of two worker processes on
   127.0.0.1, its start-up included). Goal: Dask at most 0.65x the one-process wall time.

Wall times (the export runs in child processes); each figure is the median of --repeat runs.
The export's CPU time is printed beside its wall time: on a shared machine the difference is
time spent waiting for a core.
    python bench/python/bench_export.py [--repeat 3] [--work 5]
"""

import argparse
import math
import resource
import shutil
import statistics
import struct
import subprocess
import sys
import tempfile
import time
from pathlib import Path

NS = 1_000_000_000
T0 = 1_700_000_000 * NS
LINKS = (("map", "odom"), ("odom", "base_link"), ("base_link", "arm"))


def cdr_tf(stamp_ns, k):
    """A little-endian CDR TFMessage of the three links at stamp_ns; poses move with k."""
    out = bytearray(b"\x00\x01\x00\x00")

    def put(fmt, *values):
        size = struct.calcsize("<" + fmt[-1])
        out.extend(b"\x00" * (-(len(out) - 4) % size))
        out.extend(struct.pack("<" + fmt, *values))

    put("I", len(LINKS))
    sec, nanosec = divmod(stamp_ns, NS)
    for i, (parent, child) in enumerate(LINKS):
        put("iI", sec, nanosec)
        for name in (parent, child):
            put("I", len(name) + 1)
            out.extend(name.encode() + b"\x00")
        yaw = 0.001 * k + i
        put("7d", 0.01 * k, float(i), 0.0, 0.0, 0.0, math.sin(yaw / 2), math.cos(yaw / 2))
    return bytes(out)


def write_bag(path, messages, hz):
    from rosbags.rosbag2 import Writer
    from rosbags.typesys import Stores, get_typestore

    store = get_typestore(Stores.ROS2_HUMBLE)
    with Writer(path, version=9) as writer:
        tf = writer.add_connection("/tf", "tf2_msgs/msg/TFMessage", typestore=store)
        step = NS // hz
        for k in range(messages):
            stamp = T0 + k * step
            writer.write(tf, stamp + 1000, cdr_tf(stamp, k))
    return path


def rosbags_decode_seconds(path):
    from rosbags.highlevel import AnyReader
    from rosbags.typesys import Stores, get_typestore

    started = time.perf_counter()
    with AnyReader([path], default_typestore=get_typestore(Stores.ROS2_HUMBLE)) as reader:
        transforms = 0
        for connection, _, raw in reader.messages():
            transforms += len(reader.deserialize(raw, connection.msgtype).transforms)
    return time.perf_counter() - started, transforms


def children_cpu():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def export_seconds(bags, out, *extra, rate=20, cpu=None):
    """Wall time of one export process; its CPU time is appended to cpu if given."""
    command = [sys.executable, "-m", "quilm_tf", "export", *map(str, bags), "--pose",
               "arm:map", "--rate", str(rate), "--out", str(out), *extra]  # fmt: skip
    cpu_before = children_cpu()
    started = time.perf_counter()
    done = subprocess.run(command, capture_output=True, text=True)
    elapsed = time.perf_counter() - started
    if done.returncode != 0:
        sys.exit(f"export failed ({done.returncode}): {done.stderr}")
    if cpu is not None:
        cpu.append(children_cpu() - cpu_before)
    return elapsed


def spin(_):
    """Share of a core a busy loop gets: CPU time over wall time."""
    started, cpu = time.perf_counter(), time.process_time()
    total = 0
    for i in range(3_000_000):
        total += i
    return (time.process_time() - cpu) / (time.perf_counter() - started)


def cores_available():
    """Cores one busy process gets, and two together: on a shared machine the second
    process may add nothing, and no parallel mode can then be faster."""
    import multiprocessing

    with multiprocessing.get_context("forkserver").Pool(2) as pool:
        return spin(0), sum(pool.map(spin, [0, 1]))


def median(run, repeat):
    return statistics.median(run() for _ in range(repeat))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--work", type=float, default=5.0, help="seconds of export per bag")
    args = parser.parse_args()
    folder = Path(tempfile.mkdtemp(prefix="bench-export-"))
    try:
        big = write_bag(folder / "big", 200_000, 200)
        decode = median(lambda: rosbags_decode_seconds(big)[0], args.repeat)
        cpu = []
        whole = median(lambda: export_seconds([big], folder / "big.parquet", cpu=cpu), args.repeat)
        print(f"rosbags reading and decoding 600,000 transforms: {decode:.2f} s")
        print(
            f"quilm-tf export process, same bag, arm in map at 20 Hz: {whole:.2f} s "
            f"(CPU {statistics.median(cpu):.2f} s)"
        )
        print(f"  ratio {whole / decode:.2f} (goal <= 0.5)")

        # Messages per bag for about --work seconds of export CPU time.
        per_message = statistics.median(cpu) / 200_000
        count = max(10_000, int(args.work / per_message))
        bags = [write_bag(folder / "part0", count, 200)]
        for i in range(1, 4):
            bags.append(Path(shutil.copytree(bags[0], folder / f"part{i}")))
        out = folder / "parts.parquet"
        cpu = []
        one = median(lambda: export_seconds(bags, out, cpu=cpu), args.repeat)
        jobs = median(lambda: export_seconds(bags, out, "--jobs", "2"), args.repeat)
        dask = median(lambda: export_seconds(bags, out, "--dask"), args.repeat)
        one_core, two_cores = cores_available()
        print(f"cores a busy process gets: {one_core:.2f} alone, {two_cores:.2f} for two together")
        print(
            f"four bags of {count:,} messages: one process {one:.2f} s "
            f"(CPU {statistics.median(cpu):.2f} s)"
        )
        print(f"  --jobs 2 {jobs:.2f} s, ratio {jobs / one:.2f}")
        print(f"  --dask (local cluster, start-up included) {dask:.2f} s, ratio {dask / one:.2f}")
        print("  (goal: dask <= 0.65)")
    finally:
        shutil.rmtree(folder)


if __name__ == "__main__":
    main()
