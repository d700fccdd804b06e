"""python -m quilm_tf.demo as a user runs it: built in, on a bag, and on bad input.

Printed poses are checked against the simulated motion itself, composed with numpy. The built-in
run and one bag run go through the command line; the other runs call the demo's main in this
process, which is the same code without the interpreter's start-up.
"""

import dataclasses
import io
import math
import os
import re
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
from rosbags.rosbag2 import StoragePlugin, Writer
from rosbags.typesys import Stores, get_typestore

from quilm_tf import demo

NS = 1_000_000_000
PROG = "python -m quilm_tf.demo"
README = Path(__file__).resolve().parents[2] / "README.md"
STORE = get_typestore(Stores.ROS2_HUMBLE)


def run_demo(*args, cwd):
    return subprocess.run(
        [sys.executable, "-m", "quilm_tf.demo", *map(str, args)], cwd=cwd, capture_output=True,
        env=dict(os.environ, PYTHONIOENCODING="utf-8"), text=True, timeout=120,
    )


def run_main(capsys, *args):
    code = demo.main([str(arg) for arg in args])
    out, err = capsys.readouterr()
    return code, out, err


def section(output, title):
    """The lines of one report section, from its title to the next blank line."""
    lines = output.splitlines()
    start = next(i for i, line in enumerate(lines) if line.startswith(title))
    end = next((i for i in range(start, len(lines)) if not lines[i]), len(lines))
    return lines[start:end]


def root_T(frame, t):
    """map_T_frame at t seconds, walking the simulated links up to the root."""
    links = {child: (parent, pose) for parent, child, _, pose in demo.ROBOT_LINKS}
    m = np.eye(4)
    while frame in links:
        frame, pose = links[frame]
        (x, y, z), (qx, qy, qz, qw) = pose(t)
        link = np.eye(4)
        # Unit quaternion to rotation matrix, the textbook form.
        link[:3, :3] = [
            [1 - 2 * (qy * qy + qz * qz), 2 * (qx * qy - qz * qw), 2 * (qx * qz + qy * qw)],
            [2 * (qx * qy + qz * qw), 1 - 2 * (qx * qx + qz * qz), 2 * (qy * qz - qx * qw)],
            [2 * (qx * qz - qy * qw), 2 * (qy * qz + qx * qw), 1 - 2 * (qx * qx + qy * qy)],
        ]
        link[:3, 3] = x, y, z
        m = link @ m
    return m


NUMBER = r"(-?\d+\.\d+)"
POSE_LINE = re.compile(
    rf"^  (\S+) (?:in|seen from) (\S+) +at t= *{NUMBER} s  "
    rf"xyz \( *{NUMBER}, +{NUMBER}, +{NUMBER}\) m   rpy \( *{NUMBER}, +{NUMBER}, +{NUMBER}\) deg$"
)


def check_printed_poses(lines):
    """Every pose line against numpy; returns how many there were."""
    checked = 0
    for match in filter(None, map(POSE_LINE.match, lines)):
        source, target, t, *printed = match.groups()
        m = np.linalg.inv(root_T(target, float(t))) @ root_T(source, float(t))
        rpy = [math.atan2(m[2, 1], m[2, 2]), math.asin(-m[2, 0]), math.atan2(m[1, 0], m[0, 0])]
        # Rounding of the print, plus the motion during half a millisecond of printed t.
        np.testing.assert_allclose([float(v) for v in printed[:3]], m[:3, 3], rtol=0, atol=2e-3)
        np.testing.assert_allclose([float(v) for v in printed[3:]], np.degrees(rpy),
                                   rtol=0, atol=0.1)
        checked += 1
    return checked


# 61 scans: one stamped before the first transform (evicted by the queue bound of 5), one
# without frame_id, one from a namespaced frame, one stamped after the last transform.
FILTER_COUNTS = [
    ("received", "61"), ("delivered", "57"),
    ("dropped", "3   empty frame id 1, invalid frame id 1, queue full 1"),
    ("still queued", "1   (no transform at its stamp yet)"),
]


def filter_counts(lines):
    found = (re.match(r"^  (received|delivered|dropped|still queued) +(\d+.*?)$", line)
             for line in lines[1:])
    return [(m[1], m[2].split("   waited")[0]) for m in found if m]


@pytest.fixture(scope="module")
def builtin(tmp_path_factory):
    return run_demo(cwd=tmp_path_factory.mktemp("builtin"))


def masked(text):
    # Throughput differs from run to run (but is never zero); everything else is deterministic.
    return re.sub(r"^(  (?:inserts|lookups)) +[1-9][\d,]*", r"\1 N", text, flags=re.M)


def test_the_builtin_run_prints_what_the_readme_shows(builtin):
    assert (builtin.returncode, builtin.stderr) == (0, "")
    text = README.read_text(encoding="utf-8")
    shown = re.search(r"^```text\n(quilm-tf demo:.*?)^```\n", text, re.M | re.S)[1]
    assert masked(builtin.stdout) == masked(shown)
    # The prose quotes the figures of the output it shows.
    inserts, lookups = re.findall(r"^  (?:inserts|lookups) +([\d,]+)", shown, re.M)
    prose = " ".join(text.split())
    assert f"{inserts} inserts/s" in prose and f"{lookups} lookups/s" in prose


def test_the_builtin_run_prints_the_true_poses_and_accounts_for_every_scan(builtin):
    assert check_printed_poses(section(builtin.stdout, "Lookups")) == 4
    assert filter_counts(section(builtin.stdout, "Message filter")) == FILTER_COUNTS


PACKAGES = ("builtin_interfaces/", "std_msgs/", "geometry_msgs/", "tf2_msgs/", "sensor_msgs/")


def as_rosbags(value):
    """One of the demo's plain message objects rebuilt as the type store's generated class."""
    if isinstance(value, list):
        if value and isinstance(value[0], float):
            return np.asarray(value, dtype=np.float32)
        return [as_rosbags(item) for item in value]
    if not dataclasses.is_dataclass(value) or hasattr(value, "__msgtype__"):
        return value
    fields = {f.name: as_rosbags(getattr(value, f.name)) for f in dataclasses.fields(value)}
    if type(value).__name__ == "LaserScan" and not value.intensities:
        fields["intensities"] = np.zeros(0, dtype=np.float32)
    msgtype = next(name for name in STORE.types if name.startswith(PACKAGES)
                   and name.endswith("/msg/" + type(value).__name__))
    return STORE.types[msgtype](**fields)


def write_bag(path, events, plugin=StoragePlugin.SQLITE3):
    """(record time, topic, message) into a rosbag2; messages are the demo's or the store's."""
    with Writer(path, version=9, storage_plugin=plugin) as writer:
        connections = {}
        for timestamp, topic, message in events:
            message = as_rosbags(message)
            msgtype = message.__msgtype__
            if topic not in connections:
                connections[topic] = writer.add_connection(topic, msgtype, typestore=STORE)
            writer.write(connections[topic], timestamp, STORE.serialize_cdr(message, msgtype))
    return path


@pytest.fixture(scope="module")
def robot_bag(tmp_path_factory):
    """The built-in robot recorded, with a status topic that has no header."""
    events, _ = demo.simulated_robot()
    status = [(events[0][0] + k, "/a_status", STORE.types["std_msgs/msg/String"](data=f"ok {k}"))
              for k in range(3)]
    return write_bag(tmp_path_factory.mktemp("bag") / "robot", status + events)


def test_a_recording_of_the_builtin_robot_reports_what_the_builtin_run_does(
    robot_bag, builtin, tmp_path
):
    run = run_demo("--bag", robot_bag, "--queue-size", 5, cwd=tmp_path)
    # Piped, so no progress bar.
    assert (run.returncode, run.stderr) == (0, "")
    # 394 robot messages and 3 status messages.
    assert run.stdout.startswith(f"quilm-tf demo: {robot_bag} (397 messages over 3.0 s)\n")
    # The sensor topic is the first with a header, the target the root of the tree.
    for title in ("Frame tree", "Message filter"):
        assert section(run.stdout, title) == section(builtin.stdout, title)
    assert check_printed_poses(section(run.stdout, "Lookups")) == 6


def test_a_target_frame_of_choice_changes_what_the_scans_wait_for(robot_bag, capsys):
    code, out, _ = run_main(capsys, "--bag", robot_bag, "--target", "odom", "--topic", "/scan",
                            "--queue-size", 5)
    lines = section(out, "Message filter")
    assert (code, lines[0]) == (
        0, "Message filter: LaserScan on /scan, target frame odom, queue bound 5")
    assert filter_counts(lines) == FILTER_COUNTS
    # Without map -> odom at 10 Hz, scans wait only for the next 100 Hz sample.
    assert re.search(r"waited for their transforms: median 6 ms, max \d+ ms$", lines[2])
    assert check_printed_poses(section(out, "Lookups")) == 6


def test_transforms_a_bag_gets_wrong_are_reported_and_the_rest_replayed(tmp_path, capsys):
    tick, level = NS // 100, ((0.0, 0.0, 0.0), (0.0, 0.0, 0.0, 1.0))
    events = []
    for k in range(100):
        stamp = demo.SIM_START_NS + k * tick
        # An unset stamp once, in a message whose other transforms are good.
        items = [("odom", "base_link", stamp if k != 50 else 0, ((0.01 * k, 0.0, 0.0), level[1]))]
        if k >= 50 and k % 10 == 0:
            items.append(("base_link", "cam", stamp, level))
        if k == 60:
            items.append(("world", "base_link", stamp, level))
        message = demo.TFMessage([demo.transform_stamped(*item) for item in items])
        events.append((stamp + tick // 2, "/tf", message))
    path = write_bag(tmp_path / "messy", events, StoragePlugin.MCAP)
    code, out, err = run_main(capsys, "--bag", path)
    assert (code, err) == (0, "")
    assert section(out, "Frame tree") == [
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
    lookups = section(out, "Lookups")
    assert [re.search(r"at t= (\d\.\d+) s  xyz \(", line)[1] for line in lookups[1:]] == [
        "0.600", "0.700", "0.800"]
    assert section(out, "Message filter")[0] == (
        "Message filter: no sensor topic with a header, target frame odom, queue bound 100")


class Terminal(io.StringIO):
    def isatty(self):
        return True


def test_a_terminal_sees_a_progress_bar(robot_bag, capsys, monkeypatch):
    monkeypatch.setattr(sys, "stderr", Terminal())
    assert demo.main(["--bag", str(robot_bag)]) == 0
    bars = sys.stderr.getvalue().split("\r")
    assert bars[-1] == "replaying [##############################] 100% 394/394\n"
    assert any(bar.startswith("scanning  [") for bar in bars)


def test_a_missing_bag_gets_one_line_and_exit_code_2(tmp_path):
    run = run_demo("--bag", tmp_path / "missing", cwd=tmp_path)
    assert (run.returncode, run.stdout, run.stderr) == (
        2, "", f"{PROG}: no such bag: {tmp_path / 'missing'}\n")


def garbage(name):
    def make(folder, _):
        (folder / name).write_bytes(b"\x89not a bag at all\n" * 8)
        return folder / name
    return make


@pytest.mark.parametrize(
    # make(folder, monkeypatch) returns the bag to give, or None for the good recording.
    ("make", "extra", "code", "message"),
    [
        (lambda p, _: p, [], 1,
         "cannot read {bag}: Expected metadata file '{bag}' does not exist."),
        (garbage("robot.mcap"), [], 1, "cannot read {bag}: "),
        (garbage("robot.bag"), [], 1, "cannot read {bag}: "),
        (garbage("robot.txt"), [], 1, "cannot read {bag}: Unrecognized storage format '.txt'"),
        (lambda p, _: None, ["--topic", "/nope"], 2,
         "{bag} has no topic /nope (topics: /a_status, /scan, /tf, /tf_static)"),
        (lambda p, _: None, ["--target", "moon"], 2, "frame moon is not in the bag's transforms "
         "(frames: base_link, camera, elbow, gripper, laser, map, odom, shoulder, torso, wrist)"),
        # A module that cannot be imported, as when the package is absent.
        (lambda p, patch: patch.setitem(sys.modules, "rosbags.highlevel", None), [], 1,
         "reading bags needs the rosbags package: pip install quilm-tf[bags]"),
    ],
    ids=["folder without metadata", "garbage mcap", "garbage ros1", "unknown format",
         "unknown topic", "unknown target", "rosbags not installed"],
)
def test_a_bag_that_cannot_be_used_gets_one_line_and_an_exit_code(
    make, extra, code, message, robot_bag, tmp_path, capsys, monkeypatch
):
    path = make(tmp_path, monkeypatch) or robot_bag
    returned, out, err = run_main(capsys, "--bag", path, *extra)
    assert (returned, out, err.count("\n")) == (code, "", 1)
    assert err.startswith(f"{PROG}: " + message.format(bag=path)) and err.endswith("\n")
