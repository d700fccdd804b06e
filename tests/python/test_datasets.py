"""quilm-tf export and the tf decoding behind every bag command, on bags written here.

The base moves at a constant velocity and turns at a constant rate about z, so interpolation
reproduces the motion exactly; the camera sits on the base through a static link."""

import math

import numpy as np
import pyarrow.parquet as pq
import pytest
from quilm_tf.tools import cli
from rosbags.highlevel import AnyReader
from rosbags.typesys import Stores, get_typestore

from quilm_tf import TransformBuffer, _native

NS, MS = 1_000_000_000, 1_000_000
T0 = 1_700_000_000 * NS
TF, POINT = "tf2_msgs/msg/TFMessage", "geometry_msgs/msg/PointStamped"
CAMERA = ((0.2, 0.0, 0.5), (0.0, 0.0, math.sin(0.25), math.cos(0.25)))  # 0.5 rad about z
BASE_MS = range(0, 2001, 20)  # 50 Hz over 2 s
CAMERA_MS = [100 * k + 5 for k in range(20)] + [2500]  # the last one past the transforms


def base_pose(stamp_ns):
    t = (stamp_ns - T0) / NS
    yaw = 2.9 + 0.2 * t  # through pi: quaternions from matrices then need their sign fixed
    return (1.0 + 0.5 * t, -0.25 * t, 0.0), (0.0, 0.0, math.sin(yaw / 2), math.cos(yaw / 2))


def matrix(pose):
    (x, y, z), (qx, qy, qz, qw) = pose
    yaw = 2 * math.atan2(qz, qw)
    m = np.eye(4)
    m[:2, :2] = [[math.cos(yaw), -math.sin(yaw)], [math.sin(yaw), math.cos(yaw)]]
    m[:3, 3] = (x, y, z)
    return m


def motion_events(bag):
    point = bag.types[POINT]
    events = [(T0, "/tf_static", TF, bag.tf(bag.link("base", "camera", T0, *CAMERA)))]
    for stamp in (T0 + ms * MS for ms in BASE_MS):
        # The base twice over, as a second tree in the same message: odom carries it too.
        pose = base_pose(stamp)
        message = bag.tf(
            bag.link("map", "base", stamp, *pose), bag.link("odom", "base2", stamp, *pose)
        )
        events.append((stamp + MS, "/tf", TF, message))
    for stamp in (T0 + ms * MS for ms in CAMERA_MS):
        message = point(
            header=bag.header("camera", stamp), point=bag.types["geometry_msgs/msg/Point"](1, 2, 3)
        )
        events.append((stamp + 2 * MS, "/camera", POINT, message))
    cycle = bag.tf(bag.link("base", "map", T0 + 999 * MS, *base_pose(T0)))  # map is base's root
    return [*events, (T0 + 999 * MS, "/tf", TF, cycle)]


REFUSED = (
    'one transform refused: TransformError: failed to insert transform "base" -> "map": '
    "inserting the transform would create a cycle in the frame tree (on /tf)\n"
)


FORMATS = {"sqlite3": "motion", "mcap": "motion", "ros1": "motion.bag"}


@pytest.fixture(scope="module")
def bags(rosbag, tmp_path_factory):
    """The motion in each format."""
    found = {}
    for kind, name in FORMATS.items():
        bag = rosbag(kind)
        found[kind] = bag.write(tmp_path_factory.mktemp(kind) / name, motion_events(bag))
    return found


def export(capsys, *args):
    """(exit code, stderr) of quilm-tf export; a str argument is split at spaces."""
    words = [w for a in args for w in (a.split() if isinstance(a, str) else [str(a)])]
    code = cli.main(["export", *words])
    return code, capsys.readouterr().err


@pytest.mark.parametrize("kind", FORMATS)
def test_rows_at_a_topics_stamps_follow_the_motion_and_name_the_gap(kind, bags, tmp_path, capsys):
    out = tmp_path / "poses.parquet"
    code_err = export(
        capsys, bags[kind], "--pose /camera:map --pose base:map --at camera --out", out
    )
    assert code_err == (0, f"quilm-tf export: {bags[kind]}: {REFUSED}")
    table = pq.read_table(out)
    types = ["string"] * 2 + ["int64"] + ["string"] * 2 + ["double"] * 7 + ["string"]
    assert [str(t) for t in table.schema.types] == types
    rows = table.to_pylist()
    assert [(r["source"], r["stamp_ns"]) for r in rows] == [
        (source, T0 + ms * MS) for source in ("camera", "base") for ms in CAMERA_MS
    ]
    for row in rows:
        assert (row["bag"], row["topic"], row["target"]) == (str(bags[kind]), "camera", "map")
        if row["stamp_ns"] == T0 + 2500 * MS:
            assert row["error"].startswith('failed to look up transform from "' + row["source"])
            assert row["x"] is None
            continue
        expected = matrix(base_pose(row["stamp_ns"]))
        if row["source"] == "camera":
            expected = expected @ matrix(CAMERA)
        q = [row[k] for k in ("qx", "qy", "qz", "qw")]
        assert row["error"] is None and q[3] >= 0
        np.testing.assert_allclose([row[k] for k in "xyz"], expected[:3, 3], atol=1e-9)
        np.testing.assert_allclose(matrix(((0, 0, 0), q))[:3, :3], expected[:3, :3], atol=1e-9)
        assert abs(q[0]) + abs(q[1]) < 1e-12, "the motion turns about z only"


def test_rate_rows_cover_the_chains_span_and_a_pose_without_one_says_why(bags, tmp_path, capsys):
    out = tmp_path / "grid.parquet"
    grid = "--pose camera:map --pose base2:map --rate 4 --start 0.5 --out"
    refused = f"quilm-tf export: {bags['sqlite3']}: {REFUSED}"
    assert export(capsys, bags["sqlite3"], grid, out) == (0, refused)
    rows = pq.read_table(out).to_pylist()
    # /tf received from 0.5 s on (1 ms after its stamps); the static camera was received before.
    assert [r["stamp_ns"] for r in rows[:-1]] == [T0 + (500 + 250 * k) * MS for k in range(7)]
    assert all(r["error"] is None and r["topic"] == "" for r in rows[:-1])
    assert rows[-1]["stamp_ns"] is None and rows[-1]["error"] == (
        "no transform chain connects base2 and map: base2 is in the tree of odom, map in the "
        "tree of map"
    )


def net_bytes():
    """Bytes received and sent over every interface but loopback."""
    with open("/proc/net/dev") as dev:
        rows = [line.split(":", 1) for line in dev.readlines()[2:]]
    return sum(int(d.split()[0]) + int(d.split()[8]) for n, d in rows if n.strip() != "lo")


def test_every_mode_writes_the_same_rows_and_a_bad_bag_is_named(bags, tmp_path, capsys):
    broken = tmp_path / "broken.bag"
    broken.write_bytes(bags["ros1"].read_bytes()[:3000])
    names = [bags["sqlite3"], broken, bags["mcap"], bags["ros1"]]
    tables = {}
    for mode in ("", "--jobs 2", "--dask"):
        out = tmp_path / f"{mode.strip('-') or 'sequential'}.parquet"
        # Nothing may leave the machine. Its other users may use the network meanwhile: a run
        # that saw traffic is repeated, and the mode fails if all three did.
        for _ in range(3):
            before = net_bytes()
            code, err = export(capsys, *names, "--pose camera:map --at /camera --out", out, mode)
            if net_bytes() == before:
                break
        else:
            pytest.fail(f"traffic past loopback in three runs of export {mode}")
        assert code == 1, mode
        assert err.count("\n") == 4 and err.count(REFUSED) == 3 and f"{broken}" in err, mode
        tables[mode] = pq.read_table(out)
    sequential = tables[""]
    assert sequential.column("bag").unique().to_pylist() == [str(n) for n in names if n != broken]
    for mode, table in tables.items():
        assert table.equals(sequential), mode


def first_tf(path):
    """The serialized bytes of the first message on /tf of a bag."""
    with AnyReader([path], default_typestore=get_typestore(Stores.ROS2_HUMBLE)) as reader:
        tf = [c for c in reader.connections if c.topic == "/tf"]
        return bytes(next(reader.messages(connections=tf))[2])


def test_a_malformed_tf_message_is_refused_whole_and_filters_are_woken(bags, ros):
    raw = first_tf(bags["sqlite3"])
    buffer, log = TransformBuffer(10.0), []
    waiting = ros.recording(buffer, log, target="map")
    waiting.add(ros.message("base", sec=T0 // NS))
    _, records, refused = _native._insert_tf_payloads(buffer, [raw[:-5], raw], False, False)
    cut_short = "malformed tf message: it ends at byte 172, 8 bytes short of its transform"
    assert [(i, type(e), str(e), *rest) for i, e, *rest in refused] == [
        (0, ValueError, cut_short, None, ()),
    ]
    assert len(records) == 2 * 24, "both transforms of the whole message went in"
    assert [entry[0] for entry in log] == ["ready"], "the waiting message was delivered"
