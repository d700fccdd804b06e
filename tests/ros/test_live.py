import csv
import io
import math
import subprocess
import sys
import threading
import time
from pathlib import Path

import numpy as np
import pytest
from conftest import stream
from geometry_msgs.msg import PoseWithCovarianceStamped
from quilm_tf.ros import TransformBroadcaster, TransformListener, wait_for_transform_future
from sensor_msgs.msg import LaserScan, PointCloud2
from talker import START_NS, STEPS, stamp

from quilm_tf import MessageFilter, TransformBuffer, ros, stamp_ns, transform_message

BOUND_S = 20.0  # how long anything may take before the test fails instead of hanging
QUILM_TF = str(Path(sys.executable).with_name("quilm-tf"))
IDENTITY = [[1, 0, 0, 0], [0, 1, 0, 0], [0, 0, 1, 0], [0, 0, 0, 1]]
ROTATED = [[0, -1, 0, 1], [0, 0, -1, 2], [1, 0, 0, 3], [0, 0, 0, 1]]


def spin_until(executor, future):
    executor.spin_until_future_complete(future, timeout_sec=BOUND_S)
    assert future.done(), f"not done within {BOUND_S} s"
    return future.result()


def close(a, b):
    return all(math.isclose(x, y, abs_tol=1e-9) for ra, rb in zip(a, b) for x, y in zip(ra, rb))


def test_late_listener_gets_static_and_dynamic_transforms_awaited_in_a_coroutine(
    talker, node, executor
):
    buffer = TransformBuffer(30.0)
    listener = TransformListener(buffer, node)  # joins after the talker latched its statics
    stream(talker, node, executor, ["/tf"])

    async def callback():
        # A coroutine on a single-threaded executor awaits while the same executor delivers
        # the transforms that resolve it.
        static = await wait_for_transform_future(buffer, "laser", "base", 0, BOUND_S)
        dynamic = await wait_for_transform_future(buffer, "laser", "map", stamp(10), BOUND_S)
        return static, dynamic

    assert spin_until(executor, executor.create_task(callback)) == (True, True)
    # laser is 0.5 along y of base, yawed 90 degrees; base is at x 1 in odom at step 10,
    # odom at x 10 in map.
    expected = [[0, -1, 0, 11], [1, 0, 0, 0.5], [0, 0, 1, 0], [0, 0, 0, 1]]
    assert close(buffer.lookup("laser", "map", stamp(10)), expected), "laser in map at step 10"
    listener.destroy()
    assert listener.refused == 0, "the talker's transforms are all valid"


def test_wait_future_times_out_without_blocking_the_executor(node, executor):
    buffer = TransformBuffer(10.0)
    ticks = []
    timer = node.create_timer(0.02, lambda: ticks.append(1))
    future = wait_for_transform_future(buffer, "nowhere", "map", START_NS, 0.3)
    assert spin_until(executor, future) is False, "no transform: the timeout resolves it"
    node.destroy_timer(timer)
    assert len(ticks) >= 5, f"the executor ran other callbacks while waiting: {len(ticks)} ticks"
    buffer.insert_transform("map", "nowhere", IDENTITY, START_NS)
    assert future.result() is False, "an insert after the timeout changes nothing"


def test_scans_and_clouds_wait_in_filters_and_clouds_are_moved_at_their_stamps(
    talker, node, executor
):
    buffer = TransformBuffer(30.0)
    TransformListener(buffer, node)
    held = {LaserScan: [], PointCloud2: []}
    for kind, topic in ((LaserScan, "/scan"), (PointCloud2, "/cloud")):
        waiting = MessageFilter(buffer, "map", 100, held[kind].append)
        node.create_subscription(kind, topic, waiting.add, 100)
    stream(talker, node, executor, ["/tf", "/scan", "/cloud"])
    all_in = executor.create_future()
    node.create_timer(
        0.02, lambda: sum(map(len, held.values())) == 2 * STEPS and all_in.set_result(1)
    )
    spin_until(executor, all_in)
    for kind, messages in held.items():
        assert [stamp_ns(m) for m in messages] == [stamp(k) for k in range(STEPS)], kind
    for cloud in held[PointCloud2]:
        moved = transform_message(buffer, cloud, "map")
        m = np.array(buffer.lookup("laser", "map", stamp_ns(cloud)))
        points = np.frombuffer(bytes(cloud.data), np.float32).reshape(-1, 3).astype(float)
        got = np.frombuffer(bytes(moved.data), np.float32).reshape(-1, 3)
        np.testing.assert_allclose(got, points @ m[:3, :3].T + m[:3, 3], rtol=1e-6)
        assert (type(moved), moved.header.frame_id) == (PointCloud2, "map")


def test_real_message_classes_take_the_transformed_values():
    # The covariance arithmetic is checked on plain objects; here, that rclpy's typed fields
    # (the covariance among them) take what the conversion writes.
    buffer, m = TransformBuffer(10.0), np.array(ROTATED)
    buffer.insert_transform("map", "laser", ROTATED, 5_000_000_000)
    message = PoseWithCovarianceStamped()
    message.header.frame_id, message.header.stamp.sec = "laser", 5
    message.pose.pose.position.x, message.pose.pose.orientation.w = 2.0, 1.0
    moved = transform_message(buffer, message, "map")
    position = moved.pose.pose.position
    np.testing.assert_allclose([position.x, position.y, position.z], (m @ [2, 0, 0, 1])[:3])
    assert (type(moved), message.header.frame_id) == (PoseWithCovarianceStamped, "laser")


def test_live_echo_prints_the_poses_the_talker_sent(talker, node, executor):
    echo = subprocess.Popen(
        [QUILM_TF, "echo", "--live", "laser", "map", "--duration", "8", "--rate", "10"]
        + ["--csv", "-"],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    name = f"quilm_tf_cli_{echo.pid}"
    deadline = time.monotonic() + BOUND_S
    while not any(
        topic == "/tf"
        for names in [node.get_node_names()]
        if name in names
        for topic, _ in node.get_subscriber_names_and_types_by_node(name, "/")
    ):
        assert time.monotonic() < deadline, "the echo's node never showed up"
        executor.spin_once(timeout_sec=0.05)
    stream(talker, node, executor, ["/tf"])
    out, err = echo.communicate(timeout=BOUND_S)
    assert echo.returncode == 0, err
    rows = list(csv.reader(io.StringIO(out)))[1:]
    # Poses at 10 Hz from the first stamp: every second step of the talker, base at x k / 10.
    xs = [float(row[1]) for row in rows]
    assert xs == pytest.approx([10 + k / 10 for k in range(0, STEPS, 2)]), out


def test_refusals_are_logged_once_per_link_and_reason_and_never_raised(node, executor, capfd):
    # A namespaced robot's topics; the listener's only, so no other test's transforms reach it.
    buffer = TransformBuffer(10.0)
    listener = TransformListener(buffer, node, tf_topic="/bad/tf", static_topic="/bad/tf_static")
    robot = TransformBroadcaster(node, topic="/bad/tf")
    deadline = time.monotonic() + BOUND_S
    while robot.publisher.get_subscription_count() < 1:
        assert time.monotonic() < deadline, "the listener never matched"
        executor.spin_once(timeout_sec=0.05)
    # The same reason on two links, three times each: the text names no frame.
    bad = [ros.transform_stamped("a", child, IDENTITY, START_NS) for child in "bc"]
    for message in bad:
        message.transform.translation.x = math.nan
    for k in range(1, 4):
        robot.send_transform(
            [bad[0], ros.transform_stamped("a", "b", IDENTITY, START_NS + k), bad[1]]
        )
    done = executor.create_future()
    node.create_timer(0.02, lambda: listener.received == 3 and done.set_result(True))
    spin_until(executor, done)
    assert listener.refused == 6, "each refused transform is counted"
    assert buffer.can_transform("b", "a", START_NS + 2), "the good ones around them are kept"
    warnings = [line for line in capfd.readouterr().err.splitlines() if "not inserted" in line]
    assert len(warnings) == 2, f"once for a -> b, once for a -> c: {warnings}"


def test_done_callbacks_run_in_the_executor_when_another_thread_resolves(node, executor):
    buffer = TransformBuffer(10.0)
    future = wait_for_transform_future(buffer, "b", "a", START_NS, BOUND_S, executor=executor)
    threads = []
    future.add_done_callback(lambda _: threads.append(threading.current_thread()))
    inserter = threading.Timer(0.1, buffer.insert_transform, ("a", "b", IDENTITY, START_NS))
    inserter.start()
    assert spin_until(executor, future) is True
    for _ in range(10):  # the executor runs its tasks one per spin
        executor.spin_once(timeout_sec=0.1)
    inserter.join()
    assert threads == [threading.main_thread()], "the callback ran as a task of the executor"
