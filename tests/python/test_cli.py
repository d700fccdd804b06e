"""The quilm-tf command and the demo, as a user runs them, on bags written here with rosbags.

Each dynamic link of the bags moves at a constant velocity and turns at a constant rate about a
fixed axis, so interpolation reproduces the motion exactly and echo is checked against numpy."""

import io
import json
import math
import os
import re
import subprocess
import sys
import xml.etree.ElementTree as ET
from pathlib import Path

import numpy as np
import pytest
from quilm_tf.tools import cli
from rosbags.rosbag1 import Writer as Writer1
from rosbags.rosbag2 import StoragePlugin, Writer
from rosbags.typesys import Stores, get_types_from_msg, get_typestore

import quilm_tf
from quilm_tf import TransformBuffer, ros

NS, MS = 1_000_000_000, 1_000_000
T0 = 1_700_000_000 * NS
DOCS = Path(__file__).resolve().parents[2] / "docs"
STARTED, COMMAND, PERFORMANCE = (
    (DOCS / name).read_text(encoding="utf-8")
    for name in ("getting-started.md", "command.md", "performance.md")
)
TF, SCAN, STRING = "tf2_msgs/msg/TFMessage", "sensor_msgs/msg/LaserScan", "std_msgs/msg/String"


def run_main(capsys, *args):
    try:
        code = cli.main([str(arg) for arg in args])
    except SystemExit as usage:  # argparse's way out
        code = usage.code
    out, err = capsys.readouterr()
    return code, out, err


# child: (parent, stamps after T0 in ms, translation at T0, velocity per second, axis, angle at
# T0, angular rate per second). Static links have one stamp and no motion.
BASE_STAMPS = [240 + 20 * j for j in range(139) if not 39 <= j <= 62]  # no sample in (1, 1.5) s
LINKS = {
    "odom": (
        "map",
        [100 * k for k in range(30)],
        (1.0, -2.0, 0.0),
        (0.05, 0.02, 0.0),
        (0.0, 0.0, 1.0),
        0.2,
        0.1,
    ),
    "base_link": (
        "odom",
        BASE_STAMPS,
        (2.0, 1.0, 0.1),
        (0.6, 0.2, 0.0),
        (0.1, 0.2, 1.0),
        -0.4,
        0.9,
    ),
    "laser": ("base_link", [0], (0.3, 0.0, 0.25), (0.0, 0.0, 0.0), (1.0, 1.0, 0.0), 0.3, 0.0),
    "beacon": ("world", [0], (5.0, 0.0, 0.0), (0.0, 0.0, 0.0), (0.0, 0.0, 1.0), 0.0, 0.0),
}


def delay_ms(child, stamp_ms):
    """How long after its stamp the recorder got a transform."""
    if child == "odom":
        return 150 if stamp_ms == 1500 else 5
    return 1 + 2 * (stamp_ms // 20 % 2)  # 1 and 3 ms in turn


def pose(child, stamp_ns):
    _, _, start, velocity, axis, angle, rate = LINKS[child]
    dt = (stamp_ns - T0) / NS
    return tuple(p + v * dt for p, v in zip(start, velocity)), axis, angle + rate * dt


def matrix(translation, axis, angle):
    k = np.asarray(axis, dtype=float) / np.linalg.norm(axis)
    skew = np.array([[0.0, -k[2], k[1]], [k[2], 0.0, -k[0]], [-k[1], k[0], 0.0]])
    m = np.eye(4)
    m[:3, :3] = np.eye(3) + math.sin(angle) * skew + (1 - math.cos(angle)) * (skew @ skew)
    m[:3, 3] = translation
    return m


class Messages:
    """Builds messages with the generated classes of a ROS 2 or a ROS 1 type store."""

    def __init__(self, ros1):
        self.ros1 = ros1
        self.store = get_typestore(Stores.ROS1_NOETIC if ros1 else Stores.ROS2_HUMBLE)
        if TF not in self.store.types:
            # The ROS 1 store ships without tf2_msgs; its one-line definition is enough.
            self.store.register(
                get_types_from_msg("geometry_msgs/TransformStamped[] transforms", TF)
            )
        self.types = self.store.types

    def header(self, frame_id, stamp_ns):
        stamp = self.types["builtin_interfaces/msg/Time"](*divmod(stamp_ns, NS))
        extra = {"seq": 0} if self.ros1 else {}
        return self.types["std_msgs/msg/Header"](stamp=stamp, frame_id=frame_id, **extra)

    def tf(self, parent, child, stamp_ns, translation, axis, angle):
        t = self.types
        k = np.asarray(axis, dtype=float) / np.linalg.norm(axis) * math.sin(angle / 2)
        return t[TF](
            transforms=[
                t["geometry_msgs/msg/TransformStamped"](
                    header=self.header(parent, stamp_ns),
                    child_frame_id=child,
                    transform=t["geometry_msgs/msg/Transform"](
                        translation=t["geometry_msgs/msg/Vector3"](*translation),
                        rotation=t["geometry_msgs/msg/Quaternion"](*k, math.cos(angle / 2)),
                    ),
                )
            ]
        )

    def scan(self, frame_id, stamp_ns):
        return self.types[SCAN](
            header=self.header(frame_id, stamp_ns),
            angle_min=-1.0,
            angle_max=1.0,
            angle_increment=0.5,
            time_increment=0.0,
            scan_time=0.1,
            range_min=0.1,
            range_max=30.0,
            ranges=np.full(5, 3.0, dtype=np.float32),
            intensities=np.zeros(0, dtype=np.float32),
        )


def write(path, events, store, ros1=False, plugin=StoragePlugin.SQLITE3):
    """(record time, topic, type, message) into a bag, in record order."""
    serialize = store.serialize_ros1 if ros1 else store.serialize_cdr
    writer = Writer1(path) if ros1 else Writer(path, version=9, storage_plugin=plugin)
    with writer:
        connections = {}
        for timestamp, topic, msgtype, message in sorted(events, key=lambda event: event[0]):
            if topic not in connections:
                connections[topic] = writer.add_connection(topic, msgtype, typestore=store)
            writer.write(connections[topic], timestamp, serialize(message, msgtype))
    return path


KINDS = {"sqlite3": "known", "mcap": "known", "ros1": "known.bag"}


@pytest.fixture(scope="module", params=KINDS)
def known(request, tmp_path_factory):
    """The known motion, a refused link (base_link -> map would close a cycle), a second tree,
    laser scans and a topic without a header."""
    ros = Messages(request.param == "ros1")
    events = []
    for child, (parent, stamps, *_) in LINKS.items():
        topic = "/tf" if len(stamps) > 1 else "/tf_static"
        for ms in stamps:
            stamp = T0 + ms * MS
            message = ros.tf(parent, child, stamp, *pose(child, stamp))
            events.append((stamp + delay_ms(child, ms) * MS, topic, TF, message))
    cycle = ros.tf("base_link", "map", T0 + 500 * MS, (0.0, 0.0, 0.0), (0.0, 0.0, 1.0), 0.0)
    events.append((T0 + 501 * MS, "/tf", TF, cycle))
    events += [
        (T0 + k * 100 * MS + MS, "/scan", SCAN, ros.scan("laser", T0 + k * 100 * MS))
        for k in range(3, 29)
    ]
    events.append((T0, "/chatter", STRING, ros.types[STRING](data="hello")))
    folder = tmp_path_factory.mktemp(request.param)
    return write(
        folder / KINDS[request.param],
        events,
        ros.store,
        request.param == "ros1",
        StoragePlugin.MCAP if request.param == "mcap" else StoragePlugin.SQLITE3,
    )


def expected_pose(source, stamp_ns):
    """map_T_source of the known motion."""
    chain = {"laser": ("odom", "base_link", "laser"), "base_link": ("odom", "base_link")}[source]
    return np.linalg.multi_dot([np.eye(4)] + [matrix(*pose(c, stamp_ns)) for c in chain])


def test_frames_prints_each_links_rate_stamps_gap_and_delay(known, capsys):
    code, out, err = run_main(capsys, "frames", known)
    assert (code, err) == (0, "")
    assert out.splitlines()[2:] == [
        "Frame tree (4 links between 6 frames; stamps in seconds, delay = receive time in the "
        "bag - stamp)",
        "  frame              parent     kind        rate  samples  first stamp     last stamp"
        "      largest gap  delay mean       max",
        "  world",
        "  └── beacon         world      static         -        1  1700000000.000  "
        "1700000000.000            -           -         -",
        "  map",
        "  └── odom           map        dynamic  10.0 Hz       30  1700000000.000  "
        "1700000002.900      0.100 s      9.8 ms  150.0 ms",
        "      └── base_link  odom       dynamic  41.3 Hz      115  1700000000.240  "
        "1700000003.000      0.500 s      2.0 ms    3.0 ms",
        "          └── laser  base_link  static         -        1  1700000000.000  "
        "1700000000.000            -           -         -",
        "  1 transform refused:",
        '    TransformError: failed to insert transform "base_link" -> "map": inserting the '
        "transform would",
        "      create a cycle in the frame tree",
        "      (stamped 1700000000.500 on /tf)",
    ]


def test_echo_follows_the_written_motion_over_the_span_every_link_covers(known, capsys):
    code, out, err = run_main(capsys, "echo", known, "/laser", "map", "--rate", 2, "--csv", "-")
    # The gap in base_link is interpolated, and said so on stderr while CSV takes stdout.
    assert (code, err) == (
        0,
        "quilm-tf echo: warning: odom -> base_link has no sample for 0.500 s after "
        "1700000001.000, 25.0x its median interval: the poses in it are interpolated\n",
    )
    header, *rows = [line.split(",") for line in out.splitlines()]
    assert header == "stamp_ns,x,y,z,qx,qy,qz,qw,roll,pitch,yaw".split(",")
    # base_link starts at 0.24 s, odom ends at 2.9 s; the gap in base_link is interpolated.
    assert [int(row[0]) for row in rows] == [T0 + (240 + 500 * k) * MS for k in range(6)]
    for stamp, *values in rows:
        expected = expected_pose("laser", int(stamp))
        x, y, z, qx, qy, qz, qw, roll, pitch, yaw = map(float, values)
        np.testing.assert_allclose([x, y, z], expected[:3, 3], rtol=0, atol=1e-9)
        assert qw >= 0
        from_q = matrix((0, 0, 0), (qx, qy, qz), 2 * math.atan2(math.hypot(qx, qy, qz), qw))
        r, p, w = np.radians([roll, pitch, yaw])
        about = [
            matrix((0, 0, 0), axis, a)
            for axis, a in (((0, 0, 1), w), ((0, 1, 0), p), ((1, 0, 0), r))
        ]
        for rotation in (from_q, np.linalg.multi_dot(about)):
            np.testing.assert_allclose(rotation[:3, :3], expected[:3, :3], rtol=0, atol=1e-9)
    relative = run_main(
        capsys, "echo", known, "laser", "map", "--rate", 2, "--csv", "-", "--relative"
    )
    times = [line.split(",")[0] for line in relative[1].splitlines()]
    assert times == ["t", *(f"{k / 2:.9f}" for k in range(6))], "not seconds after the first pose"


def test_monitor_flags_the_late_and_the_gappy_link_and_a_chains_worst_delay(known, capsys):
    # The known bag holds a refused transform: exit status 3 whether or not a link is flagged.
    code, out, _ = run_main(capsys, "monitor", known)
    assert code == 3 and out.endswith(
        "\n2 of 4 links flagged:\n"
        "  map -> odom: delayed up to 150.0 ms (mean 9.8 ms, limit 100 ms)\n"
        "  odom -> base_link: no sample for 0.500 s after 1700000001.000, 25.0x its median "
        "interval of 0.020 s\n"
    )
    code, out, _ = run_main(
        capsys, "monitor", known, "base_link", "map", "--max-delay", 200, "--max-gap", 30
    )
    assert code == 3 and out.endswith(
        "\nNo link flagged among 2 links.\n\n"
        "Chain base_link -> odom -> map: 2 links, worst delay "
        "150.0 ms (map -> odom)\n"
    )


def boxes(svg_text):
    """{frame: (x, y, width)} of the frame boxes of an SVG picture; labels are the other texts."""
    root = ET.fromstring(svg_text)
    group, width = root.find("{http://www.w3.org/2000/svg}g"), float(root.get("width"))
    found, labels, last_rect = {}, [], None
    for node in group:
        if node.tag.endswith("rect"):
            last_rect = node
        elif node.tag.endswith("text") and "rx" in last_rect.attrib:
            found[node.text] = tuple(float(last_rect.get(k)) for k in ("x", "y", "width"))
        elif node.tag.endswith("text"):
            labels.append(node.text)
    # Every box is on the picture.
    assert all(0 <= x and x + w <= width for x, _, w in found.values())
    return found, labels


def test_the_pictures_name_every_frame_and_label_every_link(known, tmp_path, capsys):
    svg, dot = tmp_path / "tree.svg", tmp_path / "tree.dot"
    assert run_main(capsys, "frames", known, "--svg", svg, "--dot", dot)[0] == 0
    found, labels = boxes(svg.read_text(encoding="utf-8"))
    assert sorted(labels) == ["10.0 Hz, 9.8 ms", "41.3 Hz, 2.0 ms", "static", "static"]
    parents = {child: parent for child, (parent, *_) in LINKS.items()}
    assert sorted(found) == sorted({*parents, *parents.values()})
    for child, parent in parents.items():
        assert found[child][1] > found[parent][1]
    # Boxes of one level do not overlap.
    for a, b in [(a, b) for a in found.values() for b in found.values() if a < b]:
        assert a[1] != b[1] or a[0] + a[2] <= b[0]
    edges = re.findall(r'^  "(\w+)" -> "(\w+)" \[label="([^"]+)"', dot.read_text(), re.M)
    assert sorted(edges) == [
        ("base_link", "laser", "static"),
        ("map", "odom", "10.0 Hz, 9.8 ms"),
        ("odom", "base_link", "41.3 Hz, 2.0 ms"),
        ("world", "beacon", "static"),
    ]


class Terminal(io.StringIO):
    def isatty(self):
        return True


def test_the_demo_replays_a_bag_with_a_refused_link_and_a_terminal_sees_progress(
    known, capsys, monkeypatch
):
    monkeypatch.setattr(sys, "stderr", Terminal())
    code, out, _ = run_main(capsys, "demo", "--bag", known, "--queue-size", 0)
    bars = sys.stderr.getvalue()
    # Every transform and scan, /chatter left unread.
    assert "scanning: 100%" in bars and re.search(r"replaying: 100%\S* 174/174", bars)
    assert code == 0 and "\n  1 transform refused:\n" in out
    assert (
        "\nMessage filter: LaserScan on /scan, target frame map, queue unbounded\n"
        "  received         26\n  delivered        26" in out
    )


@pytest.fixture(scope="module")
def robot_bag(tmp_path_factory):
    """The demo's simulated robot recorded by demo --record as the folder robot, which the
    documentation's samples read."""
    folder = tmp_path_factory.mktemp("docs")
    run = run_demo("--record", "robot", cwd=folder)
    assert (run.returncode, run.stderr) == (0, "")
    return folder / "robot"


def run_demo(*args, cwd):
    return subprocess.run(
        [sys.executable, "-m", "quilm_tf.demo", *map(str, args)],
        cwd=cwd,
        capture_output=True,
        env=dict(os.environ, PYTHONIOENCODING="utf-8"),
        text=True,
        timeout=120,
    )


def masked(text):
    # Throughput differs from run to run (but is never zero); everything else is deterministic.
    return re.sub(r"^(  (?:inserts|lookups)) +[1-9][\d,]*", r"\1 N", text, flags=re.M)


def section(output, title):
    """The lines of one report section, from its title to the next blank line."""
    lines = output.splitlines()
    start = next(i for i, line in enumerate(lines) if line.startswith(title))
    return lines[start : next((i for i in range(start, len(lines)) if not lines[i]), len(lines))]


def test_the_demo_prints_what_the_docs_show_and_its_recording_the_same(robot_bag):
    builtin = run_demo(cwd=robot_bag.parent)
    assert (builtin.returncode, builtin.stderr) == (0, "")
    shown = re.search(r"^```text\n(quilm-tf demo:.*?)^```\n", STARTED, re.M | re.S)[1]
    assert masked(builtin.stdout) == masked(shown)
    # The performance page quotes the figures of the output shown.
    inserts, lookups = re.findall(r"^  (?:inserts|lookups) +([\d,]+)", shown, re.M)
    prose = " ".join(PERFORMANCE.split())
    assert f"{inserts} inserts/s" in prose and f"{lookups} lookups/s" in prose
    run = run_demo("--bag", "robot", "--queue-size", 5, cwd=robot_bag.parent)
    assert (run.returncode, run.stderr) == (0, "")
    assert run.stdout.startswith("quilm-tf demo: robot (394 messages over 3.0 s)\n")
    for title in ("Frame tree", "Message filter"):
        assert section(run.stdout, title) == section(builtin.stdout, title)


SAMPLES = re.findall(
    r"^```(?:sh|console)\n(?:\$ )?(quilm-tf (?:frames|echo|monitor) [^\n]*)\n```\n+"
    r"```text\n(.*?)^```",
    COMMAND,
    re.M | re.S,
)


@pytest.mark.parametrize(("command", "shown"), SAMPLES, ids=[c for c, _ in SAMPLES])
def test_the_documented_samples_are_what_the_commands_print(
    command, shown, robot_bag, capsys, monkeypatch
):
    monkeypatch.chdir(robot_bag.parent)
    assert run_main(capsys, *command.split()[1:])[1:] == (shown, "")


def test_every_command_has_its_documented_sample_and_plots_its_echo(robot_bag, capsys, monkeypatch):
    assert sorted({command.split()[1] for command, _ in SAMPLES}) == ["echo", "frames", "monitor"]
    monkeypatch.chdir(robot_bag.parent)
    assert run_main(capsys, "echo", "robot", "gripper", "map", "--plot", "path.png")[0] == 0
    assert Path("path.png").read_bytes().startswith(b"\x89PNG")


BAD = [  # (command line with {bag} for the known bag, exit code, message)
    (
        "demo --bag {bag} --topic chatter",
        2,
        "quilm-tf demo: topic /chatter carries "
        "std_msgs/msg/String, which has no header: the message filter needs messages with a frame "
        "and a stamp",
    ),
    (
        "demo --bag {bag} --topic nope",
        2,
        "quilm-tf demo: {bag} has no topic nope (topics: /chatter, /scan, /tf, /tf_static)",
    ),
    (
        "demo --bag {bag} --target moon",
        2,
        "quilm-tf demo: frame moon is not in the bag's "
        "transforms (frames: base_link, beacon, laser, map, odom, world)",
    ),
    ("demo --queue-size -1", 2, "quilm-tf demo: --queue-size must not be negative"),
    (
        "demo --target a/b",
        2,
        'quilm-tf demo: TransformError: invalid frame "a/b": frame name must be unqualified',
    ),
    ("frames {tmp}/missing", 2, "quilm-tf frames: no such bag: {tmp}/missing"),
    ("frames {tmp}", 1, "quilm-tf frames: {tmp} is not a rosbag2 folder: it has no metadata.yaml"),
    (
        "frames {tmp}/x.bag",
        1,
        'quilm-tf frames: {tmp}/x.bag is not a ROS 1 bag: it does not start with "#ROSBAG V2.0"',
    ),
    (
        "frames {tmp}/x.mcap",
        1,
        "quilm-tf frames: {tmp}/x.mcap is not a rosbag2 MCAP file: it "
        "does not start with the MCAP magic bytes",
    ),
    (
        "frames {tmp}/x.db3",
        1,
        "quilm-tf frames: {tmp}/x.db3 is not a rosbag2 sqlite3 file: it "
        "does not start with an SQLite header",
    ),
    (
        "frames {tmp}/cut.bag",
        1,
        "quilm-tf frames: {tmp}/cut.bag looks like a ROS 1 bag but cannot be read: ",
    ),
    (
        "frames {tmp}/x.txt",
        1,
        "quilm-tf frames: {tmp}/x.txt is not a bag: expected a rosbag2 "
        "folder, a .db3 or .mcap file, or a ROS 1 .bag file",
    ),
    (
        "frames {bag} --svg {tmp}/no/x.svg",
        2,
        "quilm-tf frames: cannot write {tmp}/no/x.svg: there is no folder {tmp}/no",
    ),
    (
        "echo {bag} moon map",
        2,
        "quilm-tf echo: frame moon is not in the bag's transforms "
        "(frames: base_link, beacon, laser, map, odom, world)",
    ),
    (
        "echo {bag} beacon map",
        1,
        "quilm-tf echo: no transform chain connects beacon and map: "
        "beacon is in the tree of world, map in the tree of map",
    ),
    (
        "echo {bag} laser map --rate 0",
        2,
        "quilm-tf echo: error: argument --rate: expected a "
        "positive number, got '0' (see quilm-tf echo --help)",
    ),
    (
        "echo {bag} laser map --rate 1e9",
        2,
        "quilm-tf echo: --rate 1e+09 over 2.7 s makes 2,660,000,001 poses; at most 10,000,000",
    ),
    (
        "echo {bag} laser map --plot {tmp}/x.pdf",
        2,
        "quilm-tf echo: --plot {tmp}/x.pdf: the file name must end in .png or .svg",
    ),
    ("monitor {bag} map", 2, "quilm-tf monitor: give no frames, or SOURCE and TARGET"),
    ("frames --live --bag {bag}", 2, "quilm-tf frames: --live reads the running graph: give no"),
    ("frames {bag} --duration 3", 2, "quilm-tf frames: --duration needs --live"),
    ("echo --live laser", 2, "quilm-tf echo: give SOURCE and TARGET"),
    ("monitor --live --start 1", 2, "quilm-tf monitor: --start and --end select part of a bag;"),
]


@pytest.mark.parametrize(("line", "code", "message"), BAD, ids=[line for line, *_ in BAD])
def test_bad_input_gets_one_line_and_an_exit_code(line, code, message, known, tmp_path, capsys):
    for name in ("x.bag", "x.mcap", "x.db3", "x.txt"):
        (tmp_path / name).write_bytes(b"\x89not a bag at all\n")
    (tmp_path / "cut.bag").write_bytes(b"#ROSBAG V2.0\n" + b"\0" * 9)
    values = {"bag": known, "tmp": tmp_path}
    returned, out, err = run_main(capsys, *[part.format(**values) for part in line.split()])
    assert (returned, out, err.count("\n")) == (code, "", 1)
    assert err.startswith(message.format(**values))


def test_without_ros_2_live_says_what_to_install(capsys, monkeypatch):
    monkeypatch.setitem(sys.modules, "rclpy", None)
    code, out, err = run_main(capsys, "echo", "--live", "laser", "map")
    assert (code, out, err.count("\n")) == (1, "", 1)
    assert err.startswith("quilm-tf echo: --live needs ROS 2: quilm_tf.ros needs ROS 2's Python")
    with pytest.raises(ImportError, match="pip install the ROS 2 wheels"):
        ros.TransformListener(TransformBuffer(1.0), None)


def test_without_rosbags_the_hint_installs_what_is_needed(known, capsys, monkeypatch):
    monkeypatch.setitem(sys.modules, "rosbags.highlevel", None)
    assert run_main(capsys, "frames", known) == (
        1,
        "",
        "quilm-tf frames: reading bags needs "
        'the rosbags package: pip install "rosbags>=0.10" '
        '"tqdm>=4" (or pip install ".[bags]" in a '
        "quilm-tf source checkout)\n",
    )


def test_monitor_flags_a_link_with_one_sample_stamped_after_it_was_recorded(tmp_path, capsys):
    ros, stamp = Messages(ros1=False), T0 + 10 * MS
    message = ros.tf("odom", "base_link", stamp, (0.0, 0.0, 0.0), (0.0, 0.0, 1.0), 0.0)
    bag = write(tmp_path / "early", [(T0, "/tf", TF, message)], ros.store)
    assert run_main(capsys, "monitor", bag)[1].endswith(
        "\n1 of 1 link flagged:\n"
        "  odom -> base_link: one sample only, at 1700000000.010: lookups work at that stamp "
        "alone\n  odom -> base_link: stamped up to 10.0 ms after it was recorded: the "
        "publisher's clock is ahead of the recorder's\n"
    )


SPELLINGS = [
    "monitor {bag} base_link map --max-delay 200",
    "monitor --max-delay 200 base_link --bag {bag} map",
    "monitor base_link map --max-delay=200 --bag {bag}",
]


def test_the_bag_and_the_options_come_in_any_order(known, capsys):
    results = [run_main(capsys, *line.format(bag=known).split()) for line in SPELLINGS]
    assert results[0][0] == 3 and "\nChain base_link -> odom -> map: 2 links" in results[0][1]
    assert results[1:] == results[:1] * 2, "another order or --bag reads differently"


def test_a_window_keeps_what_was_received_in_it_and_the_static_links(known, capsys):
    code, out, _ = run_main(capsys, "frames", known, "--start", 1, "--end", 2, "--json", "-")
    document = json.loads(out)
    links = {link["child"]: link for link in document["links"]}
    # Received 1 to 3 ms after their stamps: base_link's 2.0 s sample arrives after the end.
    spans = {
        child: (link["first_stamp_ns"], link["last_stamp_ns"]) for child, link in links.items()
    }
    assert spans["base_link"] == (T0 + 1000 * MS, T0 + 1980 * MS)
    assert links["odom"]["samples"] == 10, "odom's 0.9 s sample arrives before the start"
    assert sorted(links) == ["base_link", "beacon", "laser", "odom"]
    assert document["refused"] == [], "the cycle at 0.5 s is outside the window"


def tf_bag(path, topics, ros=None):
    """A bag of one transform per (topic, parent, child), stamped T0 + 10 ms each."""
    ros = ros or Messages(ros1=False)
    events = [
        (T0 + k * MS, topic, TF, ros.tf(parent, child, T0 + 10 * MS, (1.0, 0.0, 0.0), (0, 0, 1), 0))
        for k, (topic, parent, child) in enumerate(topics)
    ]
    return write(path, events, ros.store)


def children(capsys, *args):
    code, out, err = run_main(capsys, "frames", "--json", "-", *args)
    assert (code, err) == (0, "")
    return sorted(link["child"] for link in json.loads(out)["links"])


def test_tf_topics_read_a_namespaced_robot_with_its_static_sibling(tmp_path, capsys):
    bag = tf_bag(
        tmp_path / "ns",
        [
            ("/tf", "map", "odom"),
            ("/robot1/tf", "r1_odom", "r1_base"),
            ("/robot1/tf_static", "r1_base", "r1_laser"),
            ("/robot2/tf", "r2_odom", "r2_base"),
        ],
    )
    assert children(capsys, bag) == ["odom"]
    assert children(capsys, bag, "--tf-topic", "robot1/tf") == ["r1_base", "r1_laser"]
    both = children(capsys, bag, "--tf-topic", "/robot1/tf", "--tf-topic", "/robot2/tf")
    assert both == ["r1_base", "r1_laser", "r2_base"]


def test_dash_sends_one_output_to_stdout_instead_of_the_report(known, capsys):
    code, out, _ = run_main(capsys, "frames", known, "--svg", "-")
    assert code == 0 and sorted(boxes(out)[0])[:2] == ["base_link", "beacon"]
    assert run_main(capsys, "frames", known, "--svg", "-", "--dot", "-")[:2] == (2, "")
    assert run_main(capsys, "--version")[:2] == (0, f"quilm-tf {quilm_tf.__version__}\n")


EVIL = "arm\n  map -> odom: fine\x1b[2J"  # a name that would forge a line and clear a screen


@pytest.fixture(scope="module")
def hostile(tmp_path_factory):
    """/tf carries bare TransformStamped messages (skipped); /tf_static a frame with a hostile
    name and a fan of 24 leaves, one named with U+FFFE and one with U+FFFF; a scan stamped
    sec=-1 and one with nanosec=1.5e9 among good ones."""
    ros = Messages(ros1=False)
    t = ros.types
    leaves = [f"leaf{k}" for k in range(22)] + ["odd\ufffe", "odd\uffff"]
    static = ros.tf("map", EVIL, T0, (1.0, 0.0, 0.0), (0, 0, 1), 0.0)
    # Refused: the only transform that names ghost.
    static.transforms += ros.tf("ghost", "ghost", T0, (0.0, 0.0, 0.0), (0, 0, 1), 0).transforms
    for leaf in leaves:
        static.transforms += ros.tf("map", leaf, T0, (0.0, 1.0, 0.0), (0, 0, 1), 0.0).transforms
    bare = static.transforms[2]
    events = [(T0, "/tf_static", TF, static)]
    events += [(T0 + k * MS, "/tf", "geometry_msgs/msg/TransformStamped", bare) for k in (1, 2)]
    for k, (sec, nanosec) in enumerate(
        [(1_700_000_000, 0), (-1, 0), (1_700_000_000, 1_500_000_000)]
    ):
        scan = ros.scan("leaf0", T0)
        scan.header.stamp = t["builtin_interfaces/msg/Time"](sec=sec, nanosec=nanosec)
        events.append((T0 + (10 + k) * MS, "/scan", SCAN, scan))
    return write(tmp_path_factory.mktemp("hostile") / "hostile", events, ros.store)


@pytest.mark.parametrize("line", ["frames {bag}", "monitor {bag}", "echo {bag} leaf1 leaf2"])
def test_other_types_on_tf_are_skipped_and_names_printed_escaped(line, hostile, capsys):
    code, out, err = run_main(capsys, *line.format(bag=hostile).split())
    # ghost's transform was refused: monitor says so in its exit status.
    assert (code, err) == (3 if line.startswith("monitor") else 0, ""), line
    assert (
        "  2 messages on /tf (geometry_msgs/msg/TransformStamped) skipped: not tf messages\n" in out
    )
    assert "\x1b" not in out and "\n  map -> odom: fine" not in out, "a raw name reached the report"
    if line.startswith(("frames", "monitor")):
        assert "arm\\n  map -> odom: fine\\u{1b}[2J" in out, "the escaped name is missing"


def test_unknown_frames_are_one_escaped_line_and_refused_ones_say_why(hostile, capsys):
    code, _, err = run_main(capsys, "echo", hostile, "moon\nx", "map")
    assert code == 2 and err.count("\n") == 1 and "moon\\nx" in err and "\\u{fffe}" in err
    assert run_main(capsys, "echo", hostile, "ghost", "map")[2] == (
        "quilm-tf echo: frame ghost is only in refused transforms, such as: TransformError: "
        'invalid frame "ghost": a frame cannot be its own parent\n'
    )


def test_the_svg_of_a_wide_fan_with_xml_forbidden_characters_is_well_formed_and_narrow(
    hostile, capsys
):
    code, out, _ = run_main(capsys, "frames", hostile, "--svg", "-")
    found, _ = boxes(out)  # parses as XML and keeps every box on the picture
    assert {"odd\\u{fffe}", "odd\\u{ffff}"} <= set(found)
    width, widest = float(ET.fromstring(out).get("width")), max(w for *_, w in found.values())
    assert width < 8 * widest, f"a fan of 25 is {width:.0f} px wide, its widest box {widest}"
    placed = sorted(found.values())
    for a, b in zip(placed, placed[1:]):
        assert a[1] != b[1] or a[0] + a[2] <= b[0], f"boxes {a} and {b} overlap"


def test_the_demo_counts_sensor_messages_with_impossible_stamps_and_goes_on(hostile, capsys):
    code, out, err = run_main(capsys, "demo", hostile, "--topic", "scan")
    assert (code, err) == (0, "")
    assert re.search(r"^  received +3$", out, re.M) and re.search(r"^  delivered +1 ", out, re.M)
    assert out.count("\n  not queued        1   ValueError: ") == 2, out


def test_a_long_static_chain_costs_lines_not_their_square(tmp_path, capsys):
    ros = Messages(ros1=False)
    chain = ros.tf("f0", "f1", T0, (1.0, 0.0, 0.0), (0, 0, 1), 0.0)
    for k in range(1, 8000):
        chain.transforms += ros.tf(f"f{k}", f"f{k + 1}", T0, (1.0, 0, 0), (0, 0, 1), 0).transforms
    bag = write(tmp_path / "chain", [(T0, "/tf_static", TF, chain)], ros.store)
    code, out, _ = run_main(capsys, "frames", bag)
    assert code == 0 and len(out) < 8001 * 200, f"{len(out):,} characters for 8,000 links"
    assert re.search(r"^  \[depth 8000\] +└── f8000 ", out, re.M)


def test_echo_of_a_static_chain_recorded_past_2_to_the_31_seconds(tmp_path, capsys):
    ros, late = Messages(ros1=False), 2**31 * NS + 5 * NS
    message = ros.tf("map", "pole", T0, (1.0, 2.0, 3.0), (0, 0, 1), 0.0)
    bag = write(tmp_path / "late", [(late, "/tf_static", TF, message)], ros.store)
    for source in ("pole", "map"):
        code, out, err = run_main(capsys, "echo", bag, source, "map", "--csv", "-")
        assert (code, err) == (0, ""), source
        assert out.splitlines()[1].startswith(
            f"{2**31 * NS - 1},{'1.0' if source == 'pole' else '0.0'},"
        )


def test_a_closed_stdout_ends_quietly_and_the_csv_is_still_written_whole(known, tmp_path):
    csv_file = tmp_path / "poses.csv"
    command = [sys.executable, "-m", "quilm_tf", "echo", known, "laser", "map", "--rate", "1000"]
    with subprocess.Popen(
        [*map(str, command), "--csv", csv_file], stdout=subprocess.PIPE, stderr=subprocess.PIPE
    ) as run:
        run.stdout.readline()
        run.stdout.close()
        code, err = run.wait(timeout=120), run.stderr.read()
    assert (code, err) == (0, b""), err
    assert len(csv_file.read_text().splitlines()) == 1 + 2661
