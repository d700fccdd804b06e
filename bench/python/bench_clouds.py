"""Point clouds: transform_cloud and deskew_cloud against the routes users take today.

Measures in one run, each figure the best of --repeat runs in wall time (no thread pool is
involved on any side, and the best is the least disturbed by neighbours):

- transform_cloud of a 640x480 organized cloud (x, y, z, intensity float32, a uint16 ring,
  point_step 32) camera -> map, beside the numpy route (structured view, stack, matmul,
  write back into a copy) and beside one plain copy of its bytes, bytearray(cloud.data);
- deskew_cloud of a 128 x 2048 lidar sweep over 100 ms with a uint32 ``t`` field (odometry
  at 100 Hz), at 1 ms resolution beside transform_cloud of the same sweep;
- exact deskew_cloud of that sweep in ns per point, beside lookup_many in ns per stamp over
  the sweep's 262,144 per-point stamps, in data order.

Run against a Release build of the module:
    python bench/python/bench_clouds.py
"""

import argparse
import math
import time
from types import SimpleNamespace as NS

import numpy as np
from rosbags.typesys import Stores, get_typestore

import quilm_tf

S = 1_000_000_000
STAMP_NS = 100 * S
TYPES = get_typestore(Stores.ROS2_HUMBLE).types
PointCloud2 = TYPES["sensor_msgs/msg/PointCloud2"]
PointField = TYPES["sensor_msgs/msg/PointField"]
Header = TYPES["std_msgs/msg/Header"]
Time = TYPES["builtin_interfaces/msg/Time"]


def pose(x, y, yaw):
    c, s = math.cos(yaw), math.sin(yaw)
    return [[c, -s, 0.0, x], [s, c, 0.0, y], [0.0, 0.0, 1.0, 0.3], [0.0, 0.0, 0.0, 1.0]]


def robot():
    """odom -> base at 100 Hz over 2 s around STAMP_NS, driving and turning; base -> camera
    and base -> lidar static; map -> odom static."""
    buffer = quilm_tf.TransformBuffer(10.0)
    for k in range(201):
        t = STAMP_NS - S + k * 10_000_000
        seconds = (t - STAMP_NS) / S
        buffer.insert_transform("odom", "base", pose(2.0 * seconds, 0.1, 0.5 * seconds), t)
    buffer.insert_transform("map", "odom", pose(5.0, -3.0, 0.2), 1, True)
    buffer.insert_transform("base", "camera", pose(0.2, 0.0, 0.0), 1, True)
    buffer.insert_transform("base", "lidar", pose(0.0, 0.0, 0.1), 1, True)
    return buffer


def cloud(height, width, fields, dtype, points):
    return PointCloud2(
        header=Header(stamp=Time(sec=STAMP_NS // S, nanosec=0), frame_id=fields[0]),
        height=height,
        width=width,
        fields=[PointField(name=n, offset=o, datatype=d, count=1) for n, o, d in fields[1]],
        is_bigendian=False,
        point_step=dtype.itemsize,
        row_step=dtype.itemsize * width,
        data=points.view(np.uint8).reshape(-1),
        is_dense=False,
    )


DEPTH = np.dtype(
    {
        "names": ["x", "y", "z", "intensity", "ring"],
        "formats": ["<f4", "<f4", "<f4", "<f4", "<u2"],
        "offsets": [0, 4, 8, 12, 16],
        "itemsize": 32,
    }
)
DEPTH_FIELDS = [("x", 0, 7), ("y", 4, 7), ("z", 8, 7), ("intensity", 12, 7), ("ring", 16, 4)]
SWEEP = np.dtype(
    {
        "names": ["x", "y", "z", "intensity", "t", "ring"],
        "formats": ["<f4", "<f4", "<f4", "<f4", "<u4", "<u2"],
        "offsets": [0, 4, 8, 12, 16, 20],
        "itemsize": 32,
    }
)
SWEEP_FIELDS = DEPTH_FIELDS[:4] + [("t", 16, 6), ("ring", 20, 4)]


def depth_cloud():
    rng = np.random.default_rng(1)
    points = np.zeros(480 * 640, DEPTH)
    for name in ("x", "y", "z", "intensity"):
        points[name] = rng.uniform(-5, 5, len(points))
    points["ring"] = np.arange(len(points)) % 480
    return cloud(480, 640, ("camera", DEPTH_FIELDS), DEPTH, points)


def sweep_cloud():
    rng = np.random.default_rng(2)
    points = np.zeros(128 * 2048, SWEEP)
    for name in ("x", "y", "z", "intensity"):
        points[name] = rng.uniform(-50, 50, len(points))
    # Rows are rings; each sweeps the 100 ms of the scan, column by column.
    points["t"] = np.tile(np.arange(2048, dtype=np.uint64) * 100_000_000 // 2048, 128)
    points["ring"] = np.repeat(np.arange(128), 2048)
    return cloud(128, 2048, ("lidar", SWEEP_FIELDS), SWEEP, points), points["t"]


def numpy_route(buffer, message, target):
    """What users write today: a structured view, x/y/z stacked, a matrix product, the
    results written back into a copy."""
    m = np.array(buffer.lookup(message.header.frame_id, target, STAMP_NS))
    points = np.frombuffer(message.data, DEPTH)
    xyz = np.stack([points["x"], points["y"], points["z"]], axis=-1).astype(np.float64)
    moved = xyz @ m[:3, :3].T + m[:3, 3]
    out = points.copy()
    out["x"], out["y"], out["z"] = moved[:, 0], moved[:, 1], moved[:, 2]
    return NS(header=message.header, data=out.view(np.uint8))


def best_ns(run, repeat):
    times = []
    for _ in range(repeat):
        start = time.perf_counter_ns()
        run()
        times.append(time.perf_counter_ns() - start)
    return min(times)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=21)
    args = parser.parse_args()
    print(f"module: {quilm_tf._native.__file__}")
    buffer = robot()
    depth = depth_cloud()
    sweep, offsets = sweep_cloud()

    ours = best_ns(lambda: quilm_tf.transform_cloud(buffer, depth, "map"), args.repeat)
    route = best_ns(lambda: numpy_route(buffer, depth, "map"), args.repeat)
    copy = best_ns(lambda: bytearray(depth.data), args.repeat)
    print(f"640x480 cloud: transform_cloud {ours / 1e6:.3f} ms, numpy route {route / 1e6:.3f} ms,")
    print(f"  bytearray(cloud.data) {copy / 1e6:.3f} ms")
    print(f"  transform_cloud / numpy route = {ours / route:.3f} (target <= 0.15)")
    print(f"  transform_cloud / copy        = {ours / copy:.2f} (target <= 2.5)")

    def deskew(resolution_ns):
        return quilm_tf.deskew_cloud(
            buffer, sweep, "lidar", "odom", "t", resolution_ns=resolution_ns
        )

    plain = best_ns(lambda: quilm_tf.transform_cloud(buffer, sweep, "lidar"), args.repeat)
    binned = best_ns(lambda: deskew(1_000_000), args.repeat)
    exact = best_ns(lambda: deskew(0), max(3, args.repeat // 4))
    stamps = STAMP_NS + offsets.astype(np.int64)
    many = best_ns(
        lambda: quilm_tf.lookup_many(buffer, "lidar", "odom", stamps), max(3, args.repeat // 4)
    )
    n = len(offsets)
    print(
        f"128x2048 sweep: transform_cloud {plain / 1e6:.3f} ms, "
        f"deskew at 1 ms {binned / 1e6:.3f} ms"
    )
    print(f"  deskew 1 ms / transform_cloud = {binned / plain:.2f} (target <= 2)")
    print(f"  exact deskew {exact / n:.1f} ns/point, lookup_many {many / n:.1f} ns/stamp")
    print(f"  exact deskew / lookup_many = {exact / many:.2f}")


if __name__ == "__main__":
    main()
