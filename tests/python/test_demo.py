"""python -m quilm_tf.demo, run as a user runs it: built in, on a bag, and on bad input.

The printed poses are checked against the simulated motion itself, composed with numpy: at
display precision an interpolated lookup must agree with the exact motion.
"""

import dataclasses
import math
import os
import pty
import re
import subprocess
import sys

import numpy as np
import pytest
from rosbags.rosbag2 import StoragePlugin, Writer
from rosbags.typesys import Stores, get_typestore

from quilm_tf import demo

NS = 1_000_000_000
PROG = "python -m quilm_tf.demo"


def run_demo(*args, cwd, env=None, stderr=subprocess.PIPE):
    environment = dict(os.environ, PYTHONIOENCODING="utf-8", **(env or {}))
    return subprocess.run(
        [sys.executable, "-m", "quilm_tf.demo", *map(str, args)],
        cwd=cwd, env=environment, stdout=subprocess.PIPE, stderr=stderr, text=True, timeout=120,
    )


def section(output, title):
    """The lines of one report section, from its title to the next blank line."""
    lines = output.splitlines()
    start = next(i for i, line in enumerate(lines) if line.startswith(title))
    end = next((i for i in range(start, len(lines)) if not lines[i]), len(lines))
    return lines[start:end]


def link_matrix(child, t):
    for _, link_child, _, pose in demo.ROBOT_LINKS:
        if link_child == child:
            (x, y, z), (qx, qy, qz, qw) = pose(t)
            break
    # Unit quaternion to rotation matrix, the textbook form.
    r = np.array([
        [1 - 2 * (qy * qy + qz * qz), 2 * (qx * qy - qz * qw), 2 * (qx * qz + qy * qw)],
        [2 * (qx * qy + qz * qw), 1 - 2 * (qx * qx + qz * qz), 2 * (qy * qz - qx * qw)],
        [2 * (qx * qz - qy * qw), 2 * (qy * qz + qx * qw), 1 - 2 * (qx * qx + qy * qy)],
    ])
    m = np.eye(4)
    m[:3, :3], m[:3, 3] = r, (x, y, z)
    return m


def in_root(frame, t):
    """root_T_frame by walking the simulated links up to map."""
    parents = {child: parent for parent, child, _, _ in demo.ROBOT_LINKS}
    m = np.eye(4)
    while frame in parents:
        m = link_matrix(frame, t) @ m
        frame = parents[frame]
    return m


NUMBER = r"(-?\d+\.\d+)"
POSE_LINE = re.compile(
    rf"^  (\S+) (?:in|seen from) (\S+) +at t= *{NUMBER} s  "
    rf"xyz \( *{NUMBER}, +{NUMBER}, +{NUMBER}\) m   rpy \( *{NUMBER}, +{NUMBER}, +{NUMBER}\) deg$"
)


def check_printed_poses(lines):
    """Every pose line against numpy; returns how many there were."""
    checked = 0
    for line in lines:
        match = POSE_LINE.match(line)
        if not match:
            continue
        source, target, t, *printed = match.groups()
        t = float(t)
        m = np.linalg.inv(in_root(target, t)) @ in_root(source, t)
        roll = math.degrees(math.atan2(m[2, 1], m[2, 2]))
        pitch = math.degrees(math.asin(-m[2, 0]))
        yaw = math.degrees(math.atan2(m[1, 0], m[0, 0]))
        # Rounding of the print, plus the motion during half a millisecond of printed t.
        np.testing.assert_allclose([float(v) for v in printed[:3]], m[:3, 3], rtol=0, atol=2e-3)
        np.testing.assert_allclose([float(v) for v in printed[3:]], [roll, pitch, yaw],
                                   rtol=0, atol=0.1)
        checked += 1
    return checked


TREE = [
    "Frame tree (9 links between 10 frames)",
    "  map",
    "  └── odom                             dynamic    10 Hz      31 samples",
    "      └── base_link                    dynamic   100 Hz     301 samples",
    "          ├── torso                    static",
    "          │   └── shoulder             dynamic   100 Hz     301 samples",
    "          │       └── elbow            dynamic   100 Hz     301 samples",
    "          │           └── wrist        dynamic   100 Hz     301 samples",
    "          │               └── gripper  static",
    "          ├── laser                    static",
    "          └── camera                   static",
]
# 61 scans: one stamped before the first transform (evicted by the queue bound of 5), one
# without frame_id, one from a namespaced frame, one stamped after the last transform.
FILTER_COUNTS = [
    ("received", "61"), ("delivered", "57"),
    ("dropped", "3   empty frame id 1, invalid frame id 1, queue full 1"),
    ("still queued", "1   (no transform at its stamp yet)"),
]


def filter_counts(lines):
    counts = []
    for line in lines[1:]:
        match = re.match(r"^  (received|delivered|dropped|still queued) +(\d+.*?)$", line)
        if match:
            name, rest = match.groups()
            counts.append((name, rest.split("   waited")[0]))
    return counts


@pytest.fixture(scope="module")
def builtin(tmp_path_factory):
    return run_demo(cwd=tmp_path_factory.mktemp("builtin"))


def test_the_builtin_run_draws_the_tree_and_counts_what_the_filter_did(builtin):
    assert (builtin.returncode, builtin.stderr) == (0, "")
    out = builtin.stdout
    assert out.startswith("quilm-tf demo: a simulated mobile robot arm, 3 s of transforms")
    assert section(out, "Frame tree") == TREE
    lines = section(out, "Message filter")
    assert lines[0] == "Message filter: LaserScan on /scan, target frame map, queue bound 5"
    assert filter_counts(lines) == FILTER_COUNTS


def test_the_builtin_lookups_print_the_robots_true_pose_or_the_libraries_error(builtin):
    lines = section(builtin.stdout, "Lookups")
    assert check_printed_poses(lines) == 4
    # The last one asks beyond the data: its text is the library's own, wrapped.
    error = " ".join(line.strip() for line in lines[lines.index(
        "  gripper in map           at t= 5.000 s  TransformError:") + 1:])
    assert error == (
        'failed to look up transform from "gripper" to "map": transform not found from map to '
        "gripper (frame wrist: transform error: requested timestamp 1700000005 is outside the "
        "covered range [1700000000, 1700000003])"
    )


def test_the_builtin_run_measures_its_throughput(builtin):
    lines = section(builtin.stdout, "Throughput")
    inserts = re.match(r"^  inserts +([\d,]+) transforms/s   1,239 transforms, ", lines[1])
    lookups = re.match(r"^  lookups +([\d,]+) lookups/s +gripper -> map, 7 links, ", lines[2])
    assert inserts and lookups
    assert int(inserts[1].replace(",", "")) > 0 and int(lookups[1].replace(",", "")) > 0


def as_rosbags(store, value):
    """One of the demo's plain message objects rebuilt as the type store's generated class."""
    if isinstance(value, list):
        if value and isinstance(value[0], float):
            return np.asarray(value, dtype=np.float32)
        return [as_rosbags(store, item) for item in value]
    if not dataclasses.is_dataclass(value):
        return value
    fields = {f.name: as_rosbags(store, getattr(value, f.name)) for f in dataclasses.fields(value)}
    if type(value).__name__ == "LaserScan" and not value.intensities:
        fields["intensities"] = np.zeros(0, dtype=np.float32)
    msgtype = next(name for name in store.types if name.endswith("/msg/" + type(value).__name__)
                   and name.split("/")[0] in MESSAGE_PACKAGES)
    return store.types[msgtype](**fields)


MESSAGE_PACKAGES = {"builtin_interfaces", "std_msgs", "geometry_msgs", "tf2_msgs", "sensor_msgs"}


@pytest.fixture(scope="module")
def robot_bag(tmp_path_factory):
    """The built-in robot recorded as a rosbag2, with a status topic that has no header."""
    store = get_typestore(Stores.ROS2_HUMBLE)
    path = tmp_path_factory.mktemp("bag") / "robot"
    events, _ = demo.simulated_robot()
    with Writer(path, version=9, storage_plugin=StoragePlugin.SQLITE3) as writer:
        status = writer.add_connection("/a_status", "std_msgs/msg/String", typestore=store)
        for k in range(3):
            text = store.types["std_msgs/msg/String"](data=f"ok {k}")
            writer.write(status, events[0][0] + k, store.serialize_cdr(text, "std_msgs/msg/String"))
        connections = {}
        for arrival, topic, message in events:
            message = as_rosbags(store, message)
            msgtype = message.__msgtype__
            if topic not in connections:
                connections[topic] = writer.add_connection(topic, msgtype, typestore=store)
            writer.write(connections[topic], arrival, store.serialize_cdr(message, msgtype))
    return path


def test_a_recording_of_the_builtin_robot_reports_what_the_builtin_run_does(
    robot_bag, builtin, tmp_path
):
    run = run_demo("--bag", robot_bag, "--queue-size", 5, cwd=tmp_path)
    assert (run.returncode, run.stderr) == (0, "")
    out = run.stdout
    # 394 robot messages and 3 status messages.
    assert out.startswith(f"quilm-tf demo: {robot_bag} (397 messages over 3.0 s)\n")
    assert section(out, "Frame tree") == TREE
    # The sensor topic is the first with a header, the target the root of the tree.
    lines = section(out, "Message filter")
    assert lines == section(builtin.stdout, "Message filter")
    assert check_printed_poses(section(out, "Lookups")) == 6


def test_a_target_frame_of_choice_changes_what_the_scans_wait_for(robot_bag, tmp_path):
    run = run_demo("--bag", robot_bag, "--target", "odom", "--topic", "/scan",
                   "--queue-size", 5, cwd=tmp_path)
    assert run.returncode == 0
    lines = section(run.stdout, "Message filter")
    assert lines[0] == "Message filter: LaserScan on /scan, target frame odom, queue bound 5"
    assert filter_counts(lines) == FILTER_COUNTS
    # Without map -> odom at 10 Hz, scans wait only for the next 100 Hz sample.
    assert re.search(r"waited for their transforms: median 6 ms, max \d+ ms$", lines[2])
    assert check_printed_poses(section(run.stdout, "Lookups")) == 6


def test_transforms_a_bag_gets_wrong_are_reported_and_the_rest_replayed(tmp_path):
    store = get_typestore(Stores.ROS2_HUMBLE)
    start, tick = demo.SIM_START_NS, NS // 100
    level = ((0.0, 0.0, 0.0), (0.0, 0.0, 0.0, 1.0))

    def tf(*items):
        return as_rosbags(store, demo.TFMessage([demo.transform_stamped(*i) for i in items]))

    path = tmp_path / "messy"
    with Writer(path, version=9, storage_plugin=StoragePlugin.MCAP) as writer:
        connection = writer.add_connection("/tf", "tf2_msgs/msg/TFMessage", typestore=store)
        for k in range(100):
            stamp = start + k * tick
            # An unset stamp once, in a message whose other transforms are good.
            moved = ((0.01 * k, 0.0, 0.0), level[1])
            items = [("odom", "base_link", stamp if k != 50 else 0, moved)]
            if k >= 50 and k % 10 == 0:
                items.append(("base_link", "cam", stamp, level))
            if k == 60:
                items.append(("world", "base_link", stamp, level))
            message = tf(*items)
            writer.write(connection, stamp + tick // 2,
                         store.serialize_cdr(message, "tf2_msgs/msg/TFMessage"))
    run = run_demo("--bag", path, cwd=tmp_path)
    assert (run.returncode, run.stderr) == (0, "")
    assert section(run.stdout, "Frame tree") == [
        "Frame tree (2 links between 3 frames)",
        "  odom",
        "  └── base_link  dynamic    99 Hz      99 samples",
        "      └── cam    dynamic    10 Hz       5 samples",
        "  2 transforms refused, for example:",
        "    TransformError: dynamic transform "
        '"odom" -> "base_link" has the reserved zero timestamp',
        "    TransformError: failed to insert transform "
        '"world" -> "base_link": re-parenting is not supported',
        "      (the child frame's parent is odom)",
    ]
    # Asked where both links have data; the zero stamp does not stretch that span.
    lookups = section(run.stdout, "Lookups")
    assert [re.search(r"at t= (\d\.\d+) s  xyz \(", line)[1] for line in lookups[1:]] == [
        "0.600", "0.700", "0.800"]
    assert section(run.stdout, "Message filter")[0] == (
        "Message filter: no sensor topic with a header, target frame odom, queue bound 100")


def no_rosbags(tmp_path):
    # A package of that name that fails to import shadows the installed one.
    (tmp_path / "shadow" / "rosbags").mkdir(parents=True)
    (tmp_path / "shadow" / "rosbags" / "__init__.py").write_text("raise ImportError('absent')\n")
    return {"PYTHONPATH": str(tmp_path / "shadow")}


def garbage(tmp_path, name):
    (tmp_path / name).write_bytes(b"\x89not a bag at all\n" * 8)
    return {}


@pytest.mark.parametrize(
    # bag: a file name in the test's folder, or None for a good recording.
    ("make", "bag", "extra", "code", "message"),
    [
        (lambda p: {}, "missing", [], 2, "no such bag: {bag}"),
        (lambda p: (p / "folder").mkdir() or {}, "folder", [], 1,
         "cannot read {bag}: Expected metadata file '{bag}' does not exist."),
        (lambda p: garbage(p, "robot.mcap"), "robot.mcap", [], 1, "cannot read {bag}: "),
        (lambda p: garbage(p, "robot.bag"), "robot.bag", [], 1, "cannot read {bag}: "),
        (lambda p: garbage(p, "robot.txt"), "robot.txt", [], 1,
         "cannot read {bag}: Unrecognized storage format '.txt'"),
        (None, None, ["--topic", "/nope"], 2,
         "{bag} has no topic /nope (topics: /a_status, /scan, /tf, /tf_static)"),
        (None, None, ["--target", "moon"], 2, "frame moon is not in the bag's transforms "
         "(frames: base_link, camera, elbow, gripper, laser, map, odom, shoulder, torso, wrist)"),
        (no_rosbags, None, [], 1,
         "reading bags needs the rosbags package: pip install quilm-tf[bags]"),
    ],
    ids=["missing", "folder without metadata", "garbage mcap", "garbage ros1", "unknown format",
         "unknown topic", "unknown target", "rosbags not installed"],
)
def test_a_bag_that_cannot_be_used_gets_one_line_and_an_exit_code(
    make, bag, extra, code, message, robot_bag, tmp_path
):
    env = make(tmp_path) if make else {}
    path = robot_bag if bag is None else tmp_path / bag
    run = run_demo("--bag", path, *extra, cwd=tmp_path, env=env)
    assert (run.returncode, run.stdout) == (code, "")
    assert run.stderr.endswith("\n") and run.stderr.count("\n") == 1
    assert run.stderr.startswith(f"{PROG}: " + message.format(bag=path))


def test_a_terminal_sees_a_progress_bar_and_a_pipe_does_not(robot_bag, tmp_path):
    piped = run_demo("--bag", robot_bag, cwd=tmp_path)
    assert (piped.returncode, piped.stderr) == (0, "")
    main, secondary = pty.openpty()
    try:
        run = run_demo("--bag", robot_bag, cwd=tmp_path, stderr=secondary)
        os.close(secondary)
        secondary = None
        seen = b""
        while True:
            try:
                chunk = os.read(main, 4096)
            except OSError:  # the terminal reports EIO once the writer is gone
                break
            if not chunk:
                break
            seen += chunk
    finally:
        os.close(main)
        if secondary is not None:
            os.close(secondary)
    assert run.returncode == 0
    bars = seen.decode().replace("\r\n", "\n").split("\r")
    assert bars[-1].startswith("replaying [##############################] 100% 394/394\n")
    assert any(bar.startswith("scanning  [") for bar in bars)
