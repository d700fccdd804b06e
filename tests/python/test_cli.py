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
from quilm_tf.tools import cli, geometry

import quilm_tf
from quilm_tf import TransformBuffer, ros

NS, MS = 1_000_000_000, 1_000_000
T0 = 1_700_000_000 * NS
DOCS = Path(__file__).resolve().parents[2] / "docs"
STARTED, COMMAND = (
    (DOCS / name).read_text(encoding="utf-8") for name in ("getting-started.md", "command.md")
)
TF, SCAN, STRING = "tf2_msgs/msg/TFMessage", "sensor_msgs/msg/LaserScan", "std_msgs/msg/String"


def run_main(capsys, *args):
    try:
        code = cli.main([str(arg) for arg in args])
    except SystemExit as usage:  # argparse's way out
        code = usage.code
    out, err = capsys.readouterr()
    return code, out, err


# Static links have one stamp and no motion.
PARENTS = {"odom": "map", "base_link": "odom", "laser": "base_link", "beacon": "world"}
BASE_STAMPS = [240 + 20 * j for j in range(139) if not 39 <= j <= 62]  # no sample in (1, 1.5) s
STAMPS_MS = {"odom": range(0, 3000, 100), "base_link": BASE_STAMPS, "laser": [0], "beacon": [0]}
MOTION = {  # translation at T0, velocity per second, axis, angle at T0, angular rate per second
    "odom": ((1.0, -2.0, 0.0), (0.05, 0.02, 0.0), (0.0, 0.0, 1.0), 0.2, 0.1),
    "base_link": ((2.0, 1.0, 0.1), (0.6, 0.2, 0.0), (0.1, 0.2, 1.0), -0.4, 0.9),
    "laser": ((0.3, 0.0, 0.25), (0.0, 0.0, 0.0), (1.0, 1.0, 0.0), 0.3, 0.0),
    "beacon": ((5.0, 0.0, 0.0), (0.0, 0.0, 0.0), (0.0, 0.0, 1.0), 0.0, 0.0),
}


def delay_ms(child, stamp_ms):
    """How long after its stamp the recorder got a transform."""
    if child == "odom":
        return 150 if stamp_ms == 1500 else 5
    return 1 + 2 * (stamp_ms // 20 % 2)  # 1 and 3 ms in turn


def pose(child, stamp_ns):
    start, velocity, axis, angle, rate = MOTION[child]
    dt = (stamp_ns - T0) / NS
    return tuple(p + v * dt for p, v in zip(start, velocity)), axis, angle + rate * dt


def matrix(translation, axis, angle):
    k = np.asarray(axis, dtype=float) / np.linalg.norm(axis)
    skew = np.array([[0.0, -k[2], k[1]], [k[2], 0.0, -k[0]], [-k[1], k[0], 0.0]])
    m = np.eye(4)
    m[:3, :3] = np.eye(3) + math.sin(angle) * skew + (1 - math.cos(angle)) * (skew @ skew)
    m[:3, 3] = translation
    return m


def quaternion(axis, angle):
    k = np.asarray(axis, dtype=float) / np.linalg.norm(axis) * math.sin(angle / 2)
    return (*k, math.cos(angle / 2))


def scan(bag, frame_id, stamp_ns):
    return bag.types[SCAN](
        header=bag.header(frame_id, stamp_ns),
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


@pytest.fixture(scope="module", params=["sqlite3", "mcap", "ros1"])
def known(request, rosbag, tmp_path_factory):
    """The known motion, a refused link (base_link -> map would close a cycle), a second tree,
    laser scans and a topic without a header."""
    bag = rosbag(request.param)
    events = []
    for child, parent in PARENTS.items():
        topic = "/tf" if len(STAMPS_MS[child]) > 1 else "/tf_static"
        for ms in STAMPS_MS[child]:
            stamp = T0 + ms * MS
            translation, axis, angle = pose(child, stamp)
            message = bag.tf(bag.link(parent, child, stamp, translation, quaternion(axis, angle)))
            events.append((stamp + delay_ms(child, ms) * MS, topic, TF, message))
    cycle = bag.tf(bag.link("base_link", "map", T0 + 500 * MS))
    events.append((T0 + 501 * MS, "/tf", TF, cycle))
    events += [
        (T0 + k * 100 * MS + MS, "/scan", SCAN, scan(bag, "laser", T0 + k * 100 * MS))
        for k in range(3, 29)
    ]
    events.append((T0, "/chatter", STRING, bag.types[STRING](data="hello")))
    name = "known.bag" if bag.ros1 else "known"
    return bag.write(tmp_path_factory.mktemp(request.param) / name, events)


def expected_pose(source, stamp_ns):
    """map_T_source of the known motion."""
    chain = {"laser": ("odom", "base_link", "laser"), "base_link": ("odom", "base_link")}[source]
    return np.linalg.multi_dot([np.eye(4)] + [matrix(*pose(c, stamp_ns)) for c in chain])


def test_frames_reports_a_refused_transform_wrapped_with_its_stamp_and_topic(known, capsys):
    code, out, err = run_main(capsys, "frames", known)
    assert (code, err) == (0, "")
    assert out.endswith(
        "  1 transform refused:\n"
        '    TransformError: failed to insert transform "base_link" -> "map": inserting the '
        "transform would\n"
        "      create a cycle in the frame tree\n"
        "      (stamped 1700000000.500 on /tf)\n"
    )


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


# About each axis, through each branch of the conversion; at -3.0 rad that branch finds the
# quaternion with w < 0 first.
@pytest.mark.parametrize("axis", [(1, 0, 0), (0, 1, 0), (0, 0, 1)])
@pytest.mark.parametrize("angle", [0.5, 3.0, -3.0])
def test_the_printed_quaternion_is_the_rotations_with_w_non_negative(axis, angle):
    got = geometry.quaternion_of(matrix((0, 0, 0), axis, angle))
    assert np.allclose(got, quaternion(axis, angle), rtol=0, atol=1e-12), (axis, angle)


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
    for x, y, w in found.values():
        assert 0 <= x and x + w <= width, f"a box at ({x}, {y}) is off the picture"
    placed = sorted(found.values(), key=lambda box: (box[1], box[0]))  # level by level
    for a, b in zip(placed, placed[1:]):
        assert a[1] != b[1] or a[0] + a[2] <= b[0], f"boxes {a} and {b} overlap"
    return found, labels


def test_the_pictures_name_every_frame_and_label_every_link(known, tmp_path, capsys):
    svg, dot = tmp_path / "tree.svg", tmp_path / "tree.dot"
    assert run_main(capsys, "frames", known, "--svg", svg, "--dot", dot)[0] == 0
    found, labels = boxes(svg.read_text(encoding="utf-8"))
    assert sorted(labels) == ["10.0 Hz, 9.8 ms", "41.3 Hz, 2.0 ms", "static", "static"]
    assert sorted(found) == sorted({*PARENTS, *PARENTS.values()})
    for child, parent in PARENTS.items():
        assert found[child][1] > found[parent][1]
    edges = re.findall(r'^  "(\w+)" -> "(\w+)" \[label="([^"]+)"', dot.read_text(), re.M)
    assert sorted((child, parent) for parent, child, _ in edges) == sorted(PARENTS.items())
    assert sorted(label for *_, label in edges) == sorted(labels), "the same labels as the SVG"


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


BAD = [  # (command line with {bag} for the known bag, exit code, what the one line says)
    ("demo --bag {bag} --topic chatter", 2, "std_msgs/msg/String, which has no header"),
    ("demo --bag {bag} --topic nope", 2, "no topic nope (topics: /chatter, /scan, /tf, /tf_"),
    ("demo --queue-size -1", 2, "--queue-size must not be negative"),
    ("demo --target a/b", 2, 'TransformError: invalid frame "a/b"'),
    ("frames {tmp}/missing", 2, "no such bag: {tmp}/missing"),
    ("frames {tmp}", 1, "{tmp} is not a rosbag2 folder: it has no metadata.yaml"),
    ("frames {tmp}/x.bag", 1, '{tmp}/x.bag is not a ROS 1 bag: it does not start with "#ROSBAG'),
    ("frames {tmp}/x.mcap", 1, "{tmp}/x.mcap is not a rosbag2 MCAP file"),
    ("frames {tmp}/x.db3", 1, "{tmp}/x.db3 is not a rosbag2 sqlite3 file"),
    ("frames {tmp}/cut.bag", 1, "{tmp}/cut.bag looks like a ROS 1 bag but cannot be read: "),
    ("frames {tmp}/x.txt", 1, "{tmp}/x.txt is not a bag: expected a rosbag2 folder"),
    ("frames {bag} --svg {tmp}/no/x.svg", 2, "cannot write {tmp}/no/x.svg: there is no folder"),
    ("echo {bag} moon map", 2, "(frames: base_link, beacon, laser, map, odom, world)"),
    ("echo {bag} beacon map", 1, "beacon is in the tree of world, map in the tree of map"),
    ("echo {bag} laser map --rate 0", 2, "expected a positive number, got '0'"),
    ("echo {bag} laser map --rate 1e9", 2, "makes 2,660,000,001 poses; at most 10,000,000"),
    ("echo {bag} laser map --plot {tmp}/x.pdf", 2, "the file name must end in .png or .svg"),
    ("monitor {bag} map", 2, "give no frames, or SOURCE and TARGET"),
    ("frames --live --bag {bag}", 2, "--live reads the running graph: give no"),
    ("frames {bag} --duration 3", 2, "--duration needs --live"),
    ("echo --live laser", 2, "give SOURCE and TARGET"),
    ("monitor --live --start 1", 2, "--start and --end select part of a bag;"),
]


@pytest.mark.parametrize(("line", "code", "message"), BAD, ids=[line for line, *_ in BAD])
def test_bad_input_gets_one_line_and_an_exit_code(line, code, message, known, tmp_path, capsys):
    for name in ("x.bag", "x.mcap", "x.db3", "x.txt"):
        (tmp_path / name).write_bytes(b"\x89not a bag at all\n")
    (tmp_path / "cut.bag").write_bytes(b"#ROSBAG V2.0\n" + b"\0" * 9)
    values = {"bag": known, "tmp": tmp_path}
    returned, out, err = run_main(capsys, *[part.format(**values) for part in line.split()])
    assert (returned, out) == (code, ""), "the exit code, and nothing on stdout"
    assert err.count("\n") == 1, f"one line: {err}"
    assert err.startswith(f"quilm-tf {line.split()[0]}: "), err
    assert message.format(**values) in err, err


MISSING = [  # (module that is not installed, command line, what the one line says)
    ("rclpy", "echo --live laser map", "--live needs ROS 2: quilm_tf.ros needs ROS 2's Python"),
    ("rosbags.highlevel", "frames {bag}", 'reading bags needs the rosbags package: pip install "'),
    ("pyarrow", "export {bag} --pose base_link:map --rate 1 --out {tmp}/x", "quilm-tf[export]"),
    ("distributed", "export {bag} --pose a:b --rate 1 --out {tmp}/x --dask", "quilm-tf[dask]"),
]


@pytest.mark.parametrize(("module", "line", "hint"), MISSING, ids=[m for m, *_ in MISSING])
def test_without_an_optional_package_one_line_says_what_to_install(
    module, line, hint, known, tmp_path, capsys, monkeypatch
):
    monkeypatch.setitem(sys.modules, module, None)
    words = line.format(bag=known, tmp=tmp_path).split()
    code, out, err = run_main(capsys, *words)
    assert (code, out) == (1, ""), "exit code 1 and nothing on stdout"
    assert err.count("\n") == 1, err
    assert hint in err, err


def test_the_live_classes_say_what_to_install_without_ros_2(monkeypatch):
    monkeypatch.setitem(sys.modules, "rclpy", None)
    with pytest.raises(ImportError, match="pip install the ROS 2 wheels"):
        ros.TransformListener(TransformBuffer(1.0), None)


def one_tf_bag(rosbag, path, links, received_ns=T0):
    """A bag of one tf message per (topic, link), received 1 ms apart from received_ns."""
    bag = rosbag("sqlite3")
    events = [
        (received_ns + k * MS, topic, TF, bag.tf(*link(bag)))
        for k, (topic, link) in enumerate(links)
    ]
    return bag.write(path, events)


def test_monitor_flags_a_link_with_one_sample_stamped_after_it_was_recorded(
    rosbag, tmp_path, capsys
):
    early = [("/tf", lambda bag: [bag.link("odom", "base_link", T0 + 10 * MS)])]
    bag = one_tf_bag(rosbag, tmp_path / "early", early)
    assert run_main(capsys, "monitor", bag)[1].endswith(
        "\n1 of 1 link flagged:\n"
        "  odom -> base_link: one sample only, at 1700000000.010: lookups work at that stamp "
        "alone\n  odom -> base_link: stamped up to 10.0 ms after it was recorded: the "
        "publisher's clock is ahead of the recorder's\n"
    )


SPELLINGS = [
    "monitor {bag} base_link map --max-delay 200",
    "monitor --max-delay 200 base_link --bag {bag} map",
]


def test_the_bag_and_the_options_come_in_any_order(known, capsys):
    results = [run_main(capsys, *line.format(bag=known).split()) for line in SPELLINGS]
    assert "\nChain base_link -> odom -> map: 2 links" in results[0][1], "the chain is reported"
    assert results[1] == results[0], "another order or --bag reads differently"


def test_a_window_keeps_what_was_received_in_it_and_the_static_links(known, capsys):
    code, out, _ = run_main(capsys, "frames", known, "--start", 1, "--end", 2, "--json", "-")
    document = json.loads(out)
    links = {link["child"]: link for link in document["links"]}
    # Received 1 to 3 ms after their stamps: base_link's 2.0 s sample arrives after the end.
    span = (links["base_link"]["first_stamp_ns"], links["base_link"]["last_stamp_ns"])
    assert span == (T0 + 1000 * MS, T0 + 1980 * MS), "base_link from 1.0 s to 1.98 s"
    assert links["odom"]["samples"] == 10, "odom's 0.9 s sample arrives before the start"
    assert sorted(links) == ["base_link", "beacon", "laser", "odom"], "the static links stay"
    assert document["refused"] == [], "the cycle at 0.5 s is outside the window"


def children(capsys, *args):
    code, out, err = run_main(capsys, "frames", "--json", "-", *args)
    assert (code, err) == (0, "")
    return sorted(link["child"] for link in json.loads(out)["links"])


def test_tf_topics_read_a_namespaced_robot_with_its_static_sibling(rosbag, tmp_path, capsys):
    links = [
        (topic, lambda bag, parent=parent, child=child: [bag.link(parent, child, T0)])
        for topic, parent, child in [
            ("/tf", "map", "odom"),
            ("/robot1/tf", "r1_odom", "r1_base"),
            ("/robot1/tf_static", "r1_base", "r1_laser"),
            ("/robot2/tf", "r2_odom", "r2_base"),
        ]
    ]
    bag = one_tf_bag(rosbag, tmp_path / "ns", links)
    assert children(capsys, bag) == ["odom"]
    assert children(capsys, bag, "--tf-topic", "robot1/tf") == ["r1_base", "r1_laser"]
    both = children(capsys, bag, "--tf-topic", "/robot1/tf", "--tf-topic", "/robot2/tf")
    assert both == ["r1_base", "r1_laser", "r2_base"]


def test_dash_sends_one_output_to_stdout_instead_of_the_report(known, capsys):
    code, out, _ = run_main(capsys, "frames", known, "--svg", "-")
    assert sorted(boxes(out)[0])[:2] == ["base_link", "beacon"], "the picture alone on stdout"
    assert run_main(capsys, "frames", known, "--svg", "-", "--dot", "-")[:2] == (2, "")
    assert run_main(capsys, "--version")[:2] == (0, f"quilm-tf {quilm_tf.__version__}\n")


EVIL = "arm\n  map -> odom: fine\x1b[2J"  # a name that would forge a line and clear a screen


@pytest.fixture(scope="module")
def hostile(rosbag, tmp_path_factory):
    """/tf carries bare TransformStamped messages (skipped); /tf_static a frame with a hostile
    name, a refused self-link and a fan of 24 leaves, one named with U+FFFE and one with
    U+FFFF; a scan stamped sec=-1 and one with nanosec=1.5e9 among good ones."""
    bag = rosbag("sqlite3")
    leaves = [f"leaf{k}" for k in range(22)] + ["odd\ufffe", "odd\uffff"]
    static = [bag.link("map", EVIL, T0), bag.link("ghost", "ghost", T0)]
    static += [bag.link("map", leaf, T0) for leaf in leaves]
    events = [(T0, "/tf_static", TF, bag.tf(*static))]
    events += [
        (T0 + k * MS, "/tf", "geometry_msgs/msg/TransformStamped", static[2]) for k in (1, 2)
    ]
    for k, (sec, nanosec) in enumerate([(T0 // NS, 0), (-1, 0), (T0 // NS, 1_500_000_000)]):
        message = scan(bag, "leaf0", T0)
        message.header.stamp = bag.types["builtin_interfaces/msg/Time"](sec=sec, nanosec=nanosec)
        events.append((T0 + (10 + k) * MS, "/scan", SCAN, message))
    return bag.write(tmp_path_factory.mktemp("hostile") / "hostile", events)


@pytest.mark.parametrize("line", ["frames {bag}", "monitor {bag}", "echo {bag} leaf1 leaf2"])
def test_other_types_on_tf_are_skipped_and_names_printed_escaped(line, hostile, capsys):
    code, out, err = run_main(capsys, *line.format(bag=hostile).split())
    # ghost's transform was refused: monitor says so in its exit status.
    assert (code, err) == (3 if line.startswith("monitor") else 0, ""), line
    skipped = "  2 messages on /tf (geometry_msgs/msg/TransformStamped) skipped: not tf messages\n"
    assert skipped in out, "the skipped messages are counted"
    assert "\x1b" not in out, "a raw escape reached the report"
    assert "\n  map -> odom: fine" not in out, "a raw name forged a line"
    if not line.startswith("echo"):
        assert "arm\\n  map -> odom: fine\\u{1b}[2J" in out, "the escaped name is missing"


def test_unknown_frames_are_one_escaped_line_and_refused_ones_say_why(hostile, capsys):
    err = run_main(capsys, "echo", hostile, "moon\nx", "map")[2]
    assert err.count("\n") == 1, err
    assert "moon\\nx" in err and "\\u{fffe}" in err, "the names are escaped"
    assert run_main(capsys, "echo", hostile, "ghost", "map")[2] == (
        "quilm-tf echo: frame ghost is only in refused transforms, such as: TransformError: "
        'invalid frame "ghost": a frame cannot be its own parent\n'
    )


def test_the_svg_of_a_wide_fan_with_xml_forbidden_characters_is_well_formed_and_narrow(
    hostile, capsys
):
    out = run_main(capsys, "frames", hostile, "--svg", "-")[1]
    found, _ = boxes(out)  # parses as XML, every box on the picture and none overlapping
    assert {"odd\\u{fffe}", "odd\\u{ffff}"} <= set(found), "the escaped names are drawn"
    width = float(ET.fromstring(out).get("width"))
    widest = max(w for *_, w in found.values())
    assert width < 8 * widest, f"a fan of 25 is {width:.0f} px wide, its widest box {widest}"


def test_the_demo_counts_sensor_messages_with_impossible_stamps_and_goes_on(hostile, capsys):
    code, out, err = run_main(capsys, "demo", hostile, "--topic", "scan")
    assert (code, err) == (0, "")
    assert re.search(r"^  received +3$", out, re.M), out
    assert re.search(r"^  delivered +1 ", out, re.M), out
    assert out.count("\n  not queued        1   ValueError: ") == 2, out


def test_a_long_static_chain_costs_lines_not_their_square(rosbag, tmp_path, capsys):
    chain = [("/tf_static", lambda bag: [bag.link(f"f{k}", f"f{k + 1}", T0) for k in range(8000)])]
    code, out, _ = run_main(capsys, "frames", one_tf_bag(rosbag, tmp_path / "chain", chain))
    assert len(out) < 8001 * 200, f"{len(out):,} characters for 8,000 links"
    assert re.search(r"^  \[depth 8000\] +└── f8000 ", out, re.M), "the depth is written out"


def test_echo_of_a_static_link_recorded_past_2_to_the_31_seconds(rosbag, tmp_path, capsys):
    pole = [("/tf_static", lambda bag: [bag.link("map", "pole", T0, (1.0, 2.0, 3.0))])]
    bag = one_tf_bag(rosbag, tmp_path / "late", pole, received_ns=2**31 * NS + 5 * NS)
    for source, x in (("pole", "1.0"), ("map", "0.0")):
        code, out, err = run_main(capsys, "echo", bag, source, "map", "--csv", "-")
        assert (code, err) == (0, ""), source
        assert out.splitlines()[1].startswith(f"{2**31 * NS - 1},{x},"), source


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
